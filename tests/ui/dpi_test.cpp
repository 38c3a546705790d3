// The wizard at the DPIs of today's screens: the window and its controls scaled from the 96-DPI
// design, texts that fit their controls, moves between screens of other DPIs.
#include "uidriver.h"

#include "platform/files.h"
#include "support/testfiles.h"
#include "ui/mainwindow.h"
#include "ui/shell.h"
#include "ui/wintext.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <cstdlib>
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

} // namespace
