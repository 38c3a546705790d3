// The wizard at the DPIs of today's screens: the window and its controls scaled from the 96-DPI
// design, texts that fit their controls, a move to a screen of another DPI, and a whole run
// driven from the keyboard alone.
#include "uidriver.h"

#include "platform/files.h"
#include "support/testfiles.h"
#include "tools/support/testserver.h"
#include "ui/mainwindow.h"
#include "ui/shell.h"
#include "ui/wintext.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<HWND> childrenOf(HWND parent) {
    std::vector<HWND> found;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        found.push_back(child);
    return found;
}

RECT rectIn(HWND control, HWND parent) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

bool shown(HWND control) {
    return (GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

// The width a label's or button's text needs, measured with the control's own font: a check box
// adds its box and a gap, a push button its edges.
SIZE neededSize(HWND control, int dpi) {
    std::wstring text = controlText(control);
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    SIZE size = {0, 0};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    LONG type = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
    wchar_t className[16] = {0};
    GetClassNameW(control, className, 16);
    if (_wcsicmp(className, L"button") == 0) {
        size.cx += type == BS_AUTOCHECKBOX ? systemMetricForDpi(SM_CXMENUCHECK, dpi) + scaleForDpi(4, dpi)
                                           : scaleForDpi(6, dpi);
    }
    return size;
}

// Every control inside the visible client area of its parent, no two controls of one parent that
// show together overlapping, every label's and button's text whole.
void expectLayoutSound(int dpi, const char* when) {
    SCOPED_TRACE(std::string(when) + " at " + std::to_string(dpi) + " DPI");
    RECT mainClient;
    GetClientRect(controls.window, &mainClient);
    for (HWND parent : {controls.window, controls.page1, controls.page2}) {
        if (!IsWindowVisible(parent)) continue;
        RECT client;
        GetClientRect(parent, &client);
        std::vector<HWND> children = childrenOf(parent);
        for (size_t i = 0; i < children.size(); i++) {
            HWND child = children[i];
            if (child == controls.page1 || child == controls.page2 || !shown(child)) continue;
            std::string name = wideToUtf8(controlText(child)) + " #" + std::to_string(GetDlgCtrlID(child));
            RECT r = rectIn(child, parent);
            RECT inMain = rectIn(child, controls.window);
            EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.right <= client.right && r.bottom <= client.bottom &&
                        inMain.right <= mainClient.right && inMain.bottom <= mainClient.bottom)
                << name << " lies outside its page";
            for (size_t j = i + 1; j < children.size(); j++) {
                if (children[j] == controls.page1 || children[j] == controls.page2 || !shown(children[j]))
                    continue;
                RECT other = rectIn(children[j], parent), both;
                EXPECT_FALSE(IntersectRect(&both, &r, &other))
                    << name << " overlaps " << wideToUtf8(controlText(children[j]));
            }
            wchar_t className[16] = {0};
            GetClassNameW(child, className, 16);
            if (_wcsicmp(className, L"static") == 0 || _wcsicmp(className, L"button") == 0) {
                SIZE need = neededSize(child, dpi);
                EXPECT_LE(need.cx, r.right - r.left) << name << " is cut";
                EXPECT_LE(need.cy, r.bottom - r.top) << name << " is cut";
            }
        }
    }
}

class WindowDpiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureMainWindow();
        takeBoxes();
        folder = makeTempDir("dpi");
    }
    void TearDown() override {
        takeBoxes();
        removeTree(folder);
    }
    std::string folder;
};

TEST_F(WindowDpiTest, EveryDpiScalesTheWindowKeepsTheControlsApartAndTheirTextsWhole) {
    const int system = systemDpi();
    EXPECT_EQ(system, controls.dpi) << "the window starts at the screen's DPI";
    // run-at-dpi.sh names the DPI its prefix was made with.
    if (const char* expected = std::getenv("VEDO_EXPECT_DPI")) {
        EXPECT_EQ(std::atoi(expected), system);
    }
    RECT outer, work;
    GetWindowRect(controls.window, &outer);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_GE(outer.top, work.top) << "the caption stays reachable";
    if (outer.bottom - outer.top <= work.bottom - work.top) {
        EXPECT_LE(outer.bottom, work.bottom);
    }

    // A package whose https addresses show the count line, and enough rows to scroll.
    std::vector<PackageRow> rows;
    for (int i = 0; i < 40; i++)
        rows.push_back({"宝贝" + std::to_string(i),
                        "<img src=\"https://127.0.0.1:9/" + std::to_string(i) + ".jpg\">", ""});
    std::string path = joinPath(folder, "shop.csv");
    writeTestPackage(path, rows);
    loadPackage(widePath(path));
    ASSERT_EQ(2, currentPage);
    ASSERT_TRUE(IsWindowVisible(controls.secureCount));
    expectLayoutSound(system, "page 2 on the screen's DPI");
    selectRow(25);
    SendMessageW(controls.list, LVM_ENSUREVISIBLE, 39, FALSE);
    const int top = static_cast<int>(SendMessageW(controls.list, LVM_GETTOPINDEX, 0, 0));
    ASSERT_GT(top, 0);

    SIZE designTitle = neededSize(controls.stepTitle2, 96);
    int designDpi = controls.dpi;
    designTitle.cx = MulDiv(designTitle.cx, 96, designDpi);
    // Moves between screens, each suggested rectangle scaled from the one before, as the system
    // does; the last row brings the window back to the screen's DPI.
    const int dpis[] = {96, 120, 144, 192, 120, 96, system};
    for (int dpi : dpis) {
        HFONT oldFont = reinterpret_cast<HFONT>(SendMessageW(controls.list, WM_GETFONT, 0, 0));
        int before = controls.dpi;
        GetWindowRect(controls.window, &outer);
        RECT suggested = {outer.left, outer.top, outer.left + MulDiv(outer.right - outer.left, dpi, before),
                          outer.top + MulDiv(outer.bottom - outer.top, dpi, before)};
        SendMessageW(controls.window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                     reinterpret_cast<LPARAM>(&suggested));
        pumpFor(30);
        SCOPED_TRACE(dpi);
        EXPECT_EQ(dpi, controls.dpi);
        GetWindowRect(controls.window, &outer);
        EXPECT_NEAR(MulDiv(MAIN_WINDOW_WIDTH, dpi, 96), outer.right - outer.left, 2);
        expectLayoutSound(dpi, "page 2");
        ShowWindow(controls.page2, SW_HIDE);
        ShowWindow(controls.page1, SW_SHOW);
        expectLayoutSound(dpi, "page 1");
        ShowWindow(controls.page1, SW_HIDE);
        ShowWindow(controls.page2, SW_SHOW);
        // The fonts keep their size in points instead of shrinking, and those of the DPI before go.
        EXPECT_GE(neededSize(controls.stepTitle2, dpi).cx, MulDiv(designTitle.cx, dpi * 97, 96 * 100));
        if (before != dpi) {
            EXPECT_EQ(0u, GetObjectType(oldFont)) << "the old font is released";
        }
        EXPECT_EQ(40, rowCount());
        EXPECT_EQ(25, SendMessageW(controls.list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
        EXPECT_EQ(top, SendMessageW(controls.list, LVM_GETTOPINDEX, 0, 0));
        RECT row;
        row.left = LVIR_BOUNDS;
        SendMessageW(controls.list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
        EXPECT_NEAR(MulDiv(LIST_ROW_HEIGHT, dpi, 96), row.bottom - row.top, 1);
    }
    clearSelection();
}

// The focused window of the program's window thread.
HWND focusOf(DWORD thread) {
    GUITHREADINFO info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
}

// A key as the keyboard gives it: to the focused window of the thread, else to its active window.
void press(DWORD thread, WPARAM key, HWND active = nullptr) {
    HWND focus = focusOf(thread);
    if (!focus) focus = active;
    PostMessageW(focus, WM_KEYDOWN, key, 1);
    PostMessageW(focus, WM_KEYUP, key, 0xC0000001);
    pumpFor(150);
}

struct ProgramWindows {
    DWORD process;
    HWND main;
    HWND box;
};

BOOL CALLBACK findWindows(HWND window, LPARAM data) {
    auto* found = reinterpret_cast<ProgramWindows*>(data);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[64] = {0};
    GetClassNameW(window, className, 64);
    if (process == found->process && IsWindowVisible(window)) {
        if (std::wcscmp(className, MAIN_WINDOW_CLASS) == 0) found->main = window;
        if (std::wcscmp(className, L"#32770") == 0) found->box = window;
    }
    return TRUE;
}

// vedo.exe run from the keyboard alone; the package and the folder are put in their boxes as a
// drop and the chooser would.
TEST(KeyboardTest, TabEnterSpaceAndEscRunAWholeMigration) {
    ensureMainWindow();
    TestServer server;
    ASSERT_TRUE(startTestServer(server));
    serveResource(server, "/a.jpg", jpegBody(3000, 5));
    std::string base = makeTempDir("keys");
    std::string program = joinPath(base, "vedo.exe");
    ASSERT_TRUE(
        CopyFileW(widePath(VEDO_UI_PATH[0] == '/' ? std::string("Z:") + VEDO_UI_PATH : VEDO_UI_PATH).c_str(),
                  widePath(program).c_str(), FALSE));
    writeWholeFile(joinPath(base, "no_shortcut.txt"), "");
    std::string path = joinPath(base, "shop.csv");
    std::string images = joinPath(base, "images");
    makeDirectory(images.c_str());
    writeTestPackage(path, {{"宝贝一", "<img src=\"" + serverUrl(server, "/a.jpg") + "\">", ""}});

    _putenv_s("VEDO_LOOPBACK_ONLY", "1");
    std::wstring command = L"\"" + widePath(program) + L"\"";
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                               widePath(base).c_str(), &startup, &process));
    ProgramWindows found{process.dwProcessId, nullptr, nullptr};
    auto find = [&] {
        found.main = found.box = nullptr;
        EnumWindows(findWindows, reinterpret_cast<LPARAM>(&found));
    };
    ASSERT_TRUE(pumpUntil(
        [&] {
            find();
            return found.main != nullptr;
        },
        20000));
    DWORD thread = GetWindowThreadProcessId(found.main, nullptr);
    HWND page1 = FindWindowExW(found.main, nullptr, L"static", L"panel");
    SendMessageW(GetDlgItem(page1, IDC_CSV_PATH), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(widePath(path).c_str()));

    std::vector<int> walked;
    for (int i = 0; i < 6 && (walked.empty() || walked.back() != IDC_NEXT); i++) {
        press(thread, VK_TAB);
        walked.push_back(GetDlgCtrlID(focusOf(thread)));
    }
    EXPECT_EQ((std::vector<int>{IDC_CSV_PATH, IDC_CHOOSE_CSV, IDC_NEXT}), walked);
    press(thread, VK_RETURN);
    HWND back = GetDlgItem(found.main, IDC_BACK);
    ASSERT_TRUE(pumpUntil([&] { return IsWindowVisible(back) != 0; }, 10000)) << "page 2";
    HWND page2 =
        GetParent(GetDlgItem(FindWindowExW(found.main, page1, L"static", L"panel"), IDC_DEST_FOLDER));
    ASSERT_TRUE(page2);
    SendMessageW(GetDlgItem(page2, IDC_DEST_FOLDER), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(widePath(images).c_str()));
    for (int i = 0; i < 8 && GetDlgCtrlID(focusOf(thread)) != IDC_BLANK_FAILED; i++)
        press(thread, VK_TAB);
    HWND blank = GetDlgItem(page2, IDC_BLANK_FAILED);
    ASSERT_EQ(blank, focusOf(thread));
    press(thread, VK_SPACE);
    EXPECT_EQ(BST_CHECKED, SendMessageW(blank, BM_GETCHECK, 0, 0));
    press(thread, VK_RETURN);
    ASSERT_TRUE(pumpUntil(
        [&] {
            find();
            return found.box != nullptr;
        },
        30000))
        << "the final message";
    DWORD boxThread = GetWindowThreadProcessId(found.box, nullptr);
    press(boxThread, VK_RETURN);
    EXPECT_TRUE(pumpUntil(
        [&] {
            find();
            return found.box == nullptr;
        },
        10000))
        << "Enter answers the box";
    press(thread, VK_ESCAPE, found.main);
    DWORD status = 1;
    EXPECT_TRUE(pumpUntil([&] { return WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0; }, 10000));
    GetExitCodeProcess(process.hProcess, &status);
    EXPECT_EQ(0u, status);
    if (status == STILL_ACTIVE) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(std::string::npos, utf16leWithBomToUtf8(readWholeFile(path)).find("/a.jpg"))
        << "the image moved";
    stopTestServer(server);
    removeTree(base);
}

} // namespace
