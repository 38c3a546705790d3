// The wizard at the DPIs of today's screens, and a whole run driven from the keyboard alone.
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

RECT rectIn(HWND control, HWND parent) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// The size of a control's text in its own font, with a check box's box and gap or a button's edges.
SIZE textSize(HWND control, int dpi) {
    std::wstring text = controlText(control);
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    SIZE size = {0, 0};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    wchar_t kind[16] = {0};
    GetClassNameW(control, kind, 16);
    if (_wcsicmp(kind, L"button") == 0) {
        bool box = (GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX;
        size.cx += box ? systemMetricForDpi(SM_CXMENUCHECK, dpi) + scaleForDpi(4, dpi) : scaleForDpi(6, dpi);
    }
    return size;
}

// Every shown control inside its page and the window's client area, no two of one parent
// overlapping, every label's and button's text whole.
void expectLayoutSound(int dpi) {
    RECT mainClient;
    GetClientRect(controls.window, &mainClient);
    for (HWND parent : {controls.window, controls.page1, controls.page2}) {
        RECT client;
        GetClientRect(parent, &client);
        std::vector<std::pair<HWND, RECT>> seen;
        for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            if (child == controls.page1 || child == controls.page2 || !IsWindowVisible(child)) continue;
            std::string name = textOf(child) + " #" + std::to_string(GetDlgCtrlID(child));
            RECT r = rectIn(child, parent), inMain = rectIn(child, controls.window), both;
            EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.right <= client.right && r.bottom <= client.bottom &&
                        inMain.right <= mainClient.right && inMain.bottom <= mainClient.bottom)
                << name << " lies outside its page";
            for (const auto& other : seen)
                EXPECT_FALSE(IntersectRect(&both, &r, &other.second))
                    << name << " overlaps " << textOf(other.first);
            seen.push_back({child, r});
            wchar_t kind[16] = {0};
            GetClassNameW(child, kind, 16);
            SIZE need = textSize(child, dpi);
            if (_wcsicmp(kind, L"static") == 0 || _wcsicmp(kind, L"button") == 0) {
                EXPECT_TRUE(need.cx <= r.right - r.left && need.cy <= r.bottom - r.top) << name << " is cut";
            }
        }
    }
}

// The window at the screen's DPI, then moved between screens of the DPIs of the table (each
// suggested rectangle scaled from the one before, as the system does), 300 % on a screen too low
// for the whole window; the last one brings it back.
TEST(WindowDpiTest, EveryDpiScalesTheWindowKeepsTheControlsApartAndTheirTextsWhole) {
    ensureMainWindow();
    const int system = systemDpi();
    EXPECT_EQ(system, controls.dpi) << "the window starts at the screen's DPI";
    const char* expected = std::getenv("VEDO_EXPECT_DPI");
    EXPECT_EQ(expected ? std::atoi(expected) : system, system) << "the prefix's DPI";
    std::string folder = makeTempDir("dpi");
    std::vector<PackageRow> rows;
    for (int i = 0; i < 40; i++)
        rows.push_back({"宝贝" + std::to_string(i),
                        "<img src=\"https://127.0.0.1:9/" + std::to_string(i) + ".jpg\">", ""});
    writeTestPackage(joinPath(folder, "shop.csv"), rows);
    loadPackage(widePath(joinPath(folder, "shop.csv")));
    ASSERT_TRUE(IsWindowVisible(controls.secureCount));
    selectRow(25);
    SendMessageW(controls.list, LVM_ENSUREVISIBLE, 39, FALSE);
    const int top = static_cast<int>(SendMessageW(controls.list, LVM_GETTOPINDEX, 0, 0));
    const int titleAt96 = MulDiv(textSize(controls.stepTitle2, system).cx, 96, system);

    for (int dpi : {system, 96, 120, 144, 192, 288, 96, system}) {
        SCOPED_TRACE(std::to_string(dpi) + " DPI");
        HFONT oldFont = reinterpret_cast<HFONT>(SendMessageW(controls.list, WM_GETFONT, 0, 0));
        int before = controls.dpi;
        RECT outer, work = workAreaOf(controls.window);
        GetWindowRect(controls.window, &outer);
        RECT suggested = {outer.left, outer.top, outer.left + MulDiv(outer.right - outer.left, dpi, before),
                          outer.top + MulDiv(outer.bottom - outer.top, dpi, before)};
        if (dpi != before) {
            SendMessageW(controls.window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                         reinterpret_cast<LPARAM>(&suggested));
            pumpFor(30);
            EXPECT_EQ(0u, GetObjectType(oldFont)) << "the old font is released";
        }
        EXPECT_EQ(dpi, controls.dpi);
        GetWindowRect(controls.window, &outer);
        EXPECT_NEAR(MulDiv(MAIN_WINDOW_WIDTH, dpi, 96), outer.right - outer.left, 2);
        EXPECT_TRUE(outer.top >= work.top && outer.bottom <= work.bottom) << "the whole window is reachable";
        EXPECT_EQ(outerWindowHeight(MAIN_WINDOW_HEIGHT, dpi) > work.bottom - work.top,
                  controls.heightGiven > 0);
        for (HWND page : {controls.page1, controls.page2}) {
            ShowWindow(page == controls.page1 ? controls.page2 : controls.page1, SW_HIDE);
            ShowWindow(page, SW_SHOW);
            expectLayoutSound(dpi);
        }
        // The fonts keep their size in points instead of shrinking (to two thirds at 144 DPI, as before).
        EXPECT_GE(textSize(controls.stepTitle2, dpi).cx, MulDiv(titleAt96, dpi * 9, 96 * 10));
        EXPECT_EQ(40, rowCount());
        EXPECT_EQ(25, SendMessageW(controls.list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
        EXPECT_EQ(top, SendMessageW(controls.list, LVM_GETTOPINDEX, 0, 0));
        RECT row{};
        row.left = LVIR_BOUNDS;
        SendMessageW(controls.list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
        EXPECT_NEAR(MulDiv(LIST_ROW_HEIGHT, dpi, 96), row.bottom - row.top, 1);
    }
    clearSelection();
    takeBoxes();
    removeTree(folder);
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
    wchar_t kind[64] = {0};
    GetClassNameW(window, kind, 64);
    if (process == found->process && IsWindowVisible(window)) {
        if (std::wcscmp(kind, MAIN_WINDOW_CLASS) == 0) found->main = window;
        if (std::wcscmp(kind, L"#32770") == 0) found->box = window;
    }
    return TRUE;
}

// vedo.exe from the keyboard alone: Tab walks page 1 to 下一步 and Enter opens page 2, Tab reaches a
// check box and Space toggles it, Enter on it starts the run, Enter answers the final message and
// Esc ends the program with status 0. The package and the folder are put in their boxes as a drop
// and the chooser would.
TEST(KeyboardTest, TabEnterSpaceAndEscRunAWholeMigration) {
    ensureMainWindow();
    TestServer server;
    ASSERT_TRUE(startTestServer(server));
    serveResource(server, "/a.jpg", jpegBody(3000, 5));
    std::string base = makeTempDir("keys"), path = joinPath(base, "shop.csv"),
                images = joinPath(base, "images");
    std::string program = joinPath(base, "vedo.exe");
    std::string built = VEDO_UI_PATH[0] == '/' ? std::string("Z:") + VEDO_UI_PATH : VEDO_UI_PATH;
    ASSERT_TRUE(CopyFileW(widePath(built).c_str(), widePath(program).c_str(), FALSE));
    writeWholeFile(joinPath(base, "no_shortcut.txt"), "");
    makeDirectory(images.c_str());
    writeTestPackage(path, {{"宝贝一", "<img src=\"" + serverUrl(server, "/a.jpg") + "\">", ""}});

    _putenv_s("VEDO_LOOPBACK_ONLY", "1");
    std::wstring command = L"\"" + widePath(program) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                               widePath(base).c_str(), &startup, &process));
    ProgramWindows found{process.dwProcessId, nullptr, nullptr};
    auto shows = [&](HWND ProgramWindows::*window) {
        found.main = found.box = nullptr;
        EnumWindows(findWindows, reinterpret_cast<LPARAM>(&found));
        return found.*window != nullptr;
    };
    ASSERT_TRUE(pumpUntil([&] { return shows(&ProgramWindows::main); }, 20000));
    HWND main = found.main;
    auto focusOf = [](HWND window) {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
    };
    auto focus = [&] { return focusOf(main); };
    // A key as the keyboard gives it: to the focused window of the window's thread, else to the window.
    auto press = [&](WPARAM key, HWND window) {
        HWND to = focusOf(window) ? focusOf(window) : window;
        PostMessageW(to, WM_KEYDOWN, key, 1);
        PostMessageW(to, WM_KEYUP, key, 0xC0000001);
        pumpFor(150);
    };
    HWND page1 = FindWindowExW(main, nullptr, L"static", L"panel");
    HWND page2 = FindWindowExW(main, page1, L"static", L"panel");
    SetWindowTextW(GetDlgItem(page1, IDC_CSV_PATH), widePath(path).c_str());

    for (int id : {IDC_CSV_PATH, IDC_CHOOSE_CSV, IDC_NEXT}) {
        press(VK_TAB, main);
        EXPECT_EQ(id, GetDlgCtrlID(focus()));
    }
    press(VK_RETURN, main);
    ASSERT_TRUE(pumpUntil([&] { return IsWindowVisible(page2) != 0; }, 10000)) << "page 2";
    SetWindowTextW(GetDlgItem(page2, IDC_DEST_FOLDER), widePath(images).c_str());
    HWND blank = GetDlgItem(page2, IDC_BLANK_FAILED);
    for (int i = 0; i < 8 && focus() != blank; i++)
        press(VK_TAB, main);
    ASSERT_EQ(blank, focus());
    press(VK_SPACE, main);
    EXPECT_EQ(BST_CHECKED, SendMessageW(blank, BM_GETCHECK, 0, 0));
    press(VK_RETURN, main);
    ASSERT_TRUE(pumpUntil([&] { return shows(&ProgramWindows::box); }, 30000)) << "the final message";
    HWND box = found.box;
    press(VK_RETURN, box);
    EXPECT_TRUE(pumpUntil([&] { return !IsWindow(box); }, 10000)) << "Enter answers the box";
    press(VK_ESCAPE, main);
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
