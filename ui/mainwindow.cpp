// The behaviour of the wizard window: page switching, the choosers and the drop, loading the
// package, the start checks, the failed addresses of a row, closing, colours, painting and links.
#include "ui/mainwindow.h"

#include "core/containers.h"
#include "core/deployment.h"
#include "core/text.h"
#include "migration/job.h"
#include "migration/jobwindow.h"
#include "package/item.h"
#include "package/reader.h"
#include "package/writer.h"
#include "platform/files.h"
#include "ui/shell.h"
#include "ui/startup.h"
#include "ui/wintext.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

MainWindowControls controls;
int currentPage = 1;
// The package as it was read on page 1; a start finds it unchanged or sends the user back.
static PackageSnapshot loadedPackage;
HINSTANCE appInstance;
HICON appIcon;

// The painted window background, drawn once and kept for the life of the process.
static HDC backgroundPicture;

static int showBox(const wchar_t* text, const wchar_t* caption, UINT type) {
    return showMessageBox(controls.window, text, caption, type);
}

// ---- Page 1 ----

static void chooseCsvFile() {
    wchar_t path[MAX_PATH] = {0};
    if (chooseOpenFile(appInstance, controls.window, L"选择淘宝助理导出的数据包(CSV)文件",
                       L"csv文件 (*.csv)\0*.csv\0\0", nullptr, path)) {
        setControlText(controls.csvPath, path);
    }
}

static void dropFiles(HDROP drop) {
    if (currentPage != 1) {
        // Drops are taken only while page 1 shows; one already on its way is released unread.
        DragFinish(drop);
        return;
    }
    HWND window = controls.window;
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(window);
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; i++) {
        wchar_t name[MAX_PATH] = {0};
        UINT length = DragQueryFileW(drop, i, name, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) continue;
        size_t n = std::wcslen(name);
        if (n >= 4 && _wcsicmp(name + n - 4, L".csv") == 0) {
            setControlText(controls.csvPath, name);
            break;
        }
    }
    DragFinish(drop);
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

static int isChecked(HWND box) {
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// The https and protocol-relative addresses of the loaded package that the ticked sources would
// move: the load keeps them apart in each item's uncollected lists.
static int selectedSecureCount() {
    if (!items) return 0;
    JobOptions options;
    std::memset(&options, 0, sizeof options);
    options.migrateImageSpace = isChecked(controls.moveImageSpace);
    options.migrateThirdParty = isChecked(controls.moveThirdParty);
    return countUncollectedSecureAddresses(items, options);
}

// The line under the check boxes that counts them, shown whenever there are any.
static void showSecureCount(int count) {
    if (count <= 0) {
        ShowWindow(controls.secureCount, SW_HIDE);
        return;
    }
    wchar_t text[96];
    std::swprintf(text, 96, L"此数据包中有%d个https图片地址，勾选后才会搬家。", count);
    setControlText(controls.secureCount, text);
    ShowWindow(controls.secureCount, SW_SHOW);
}

static void setOptionsEnabled(BOOL enabled) {
    EnableWindow(controls.moveImageSpace, enabled);
    EnableWindow(controls.moveThirdParty, enabled);
    EnableWindow(controls.blankFailed, enabled);
    EnableWindow(controls.moveHttps, enabled);
    EnableWindow(controls.chooseFolder, enabled);
}

static void resetForReload() {
    clearItems(items);
    SendMessageW(controls.list, LVM_DELETEALLITEMS, 0, 0);
    EnableWindow(controls.next, TRUE);
    setOptionsEnabled(TRUE);
    EnableWindow(controls.back, TRUE);
    SendMessageW(controls.moveImageSpace, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(controls.moveThirdParty, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(controls.blankFailed, BM_SETCHECK, BST_UNCHECKED, 0);
    SendMessageW(controls.moveHttps, BM_SETCHECK, BST_UNCHECKED, 0);
    setControlText(controls.destFolder, L"");
}

static void showFormatProblem() {
    std::wstring name = engineToWide(fileNameOf(packagePath));
    const wchar_t* n = name.c_str();
    std::wstring text = std::wstring(L"[") + n +
                        L"]数据格式存在问题，需要使用淘宝助理(版本:5.x+)转换一下，操作方法如下：\n\n"
                        L"1. 打开并登录淘宝助理，进入[宝贝管理] -> [本地库存宝贝]。\n\n"
                        L"2. 在[本地库存宝贝]下建立一个新的分类，将[" +
                        n + L"]导入到新建立的分类下，然后钩选刚刚导入的所有宝贝，导出CSV直接替换[" + n +
                        L"]。\n\n3. 使用图片搬家软件对[" + n +
                        L"]进行搬家。\n\n\n是否需要进入官网查看详细操作指南？";
    if (showBox(text.c_str(), L"提示", MB_ICONQUESTION | MB_YESNO) == IDYES) {
        char url[1024];
        productPageUrl("convert.html", url, sizeof url);
        openUrl(url);
    }
}

static void enterPage2() {
    // Rows go in without a repaint each: a package of 70,000 items fills the list in seconds
    // instead of a minute.
    SendMessageW(controls.list, WM_SETREDRAW, FALSE, 0);
    SendMessageW(controls.list, LVM_SETITEMCOUNT, static_cast<WPARAM>(items->count), 0);
    for (int32_t i = 0; i < items->count; i++) {
        Item* item = static_cast<Item*>(items->items[i]);
        item->index = i;
        insertItemRow(item);
    }
    SendMessageW(controls.list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(controls.list, nullptr, TRUE);
    wchar_t progress[64];
    std::swprintf(progress, 64, L"搬家进度(宝贝数:%d)", static_cast<int>(items->count));
    setControlText(controls.progressText, progress);
    ShowWindow(controls.page1, SW_HIDE);
    ShowWindow(controls.page2, SW_SHOW);
    setControlText(controls.next, L"开始搬家");
    ShowWindow(controls.back, SW_SHOW);
    setControlText(controls.failedList, L"");
    // The 32-bit range, so that packages of more than 65,535 items fill the bar correctly.
    SendMessageW(controls.progress, PBM_SETRANGE32, 0, items->count);
    SendMessageW(controls.progress, PBM_SETPOS, 0, 0);
    // Today's packages hold https addresses nearly always: the box is ticked when the package holds
    // any that the ticked sources would move, so that a run moves them unless the seller says no.
    int secureCount = selectedSecureCount();
    SendMessageW(controls.moveHttps, BM_SETCHECK, secureCount > 0 ? BST_CHECKED : BST_UNCHECKED, 0);
    showSecureCount(secureCount);
    currentPage = 2;
    DragAcceptFiles(controls.window, FALSE);
}

static void nextOnPage1() {
    std::string path = controlEngineText(controls.csvPath);
    if (path.empty()) {
        packagePath[0] = '\0';
        showBox(L"请选择一个淘宝数据包(csv)文件", L"提示", MB_ICONWARNING | MB_OK);
        SetFocus(controls.chooseCsv);
        return;
    }
    // A path that does not fit the path buffer cannot be opened by the reader either.
    if (!copyEngineText(packagePath, sizeof packagePath, path) || !fileExists(packagePath)) {
        showBox(L"选择的csv文件不存在，请重新选择", L"提示", MB_ICONWARNING | MB_OK);
        SetFocus(controls.chooseCsv);
        return;
    }
    if (items) {
        resetForReload();
    } else {
        items = arrayListCreate(256, 64);
    }
    // A package loaded earlier but never run still holds its text.
    std::free(packageText);
    packageText = nullptr;

    // A load reads with secure mode off; the items keep the https addresses apart, the box is ticked
    // when they hold any (enterPage2), and a start with the box ticked takes them in
    // (startMigration).
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    int result = readPackage(packagePath, items, &packageText, 0);
    if (result == 1 && !snapshotPackage(packagePath, &loadedPackage)) loadedPackage.size = -1;
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    if (result == PACKAGE_READ_FATAL) windowFatalError(lastReadFailure());
    if (result != 1) {
        clearItems(items);
        showFormatProblem();
        SetFocus(controls.chooseCsv);
        return;
    }
    enterPage2();
}

// ---- Page 2 ----

static void backToPage1() {
    ShowWindow(controls.page1, SW_SHOW);
    ShowWindow(controls.page2, SW_HIDE);
    setControlText(controls.next, L"下一步");
    ShowWindow(controls.back, SW_HIDE);
    EnableWindow(controls.next, TRUE);
    if (currentPage == 2) DragAcceptFiles(controls.window, TRUE);
    if (currentPage > 1) currentPage--;
}

static void chooseDestination() {
    wchar_t path[MAX_PATH] = {0};
    std::wstring current = controlText(controls.destFolder);
    if (current.size() < MAX_PATH) std::wmemcpy(path, current.c_str(), current.size() + 1);
    if (chooseFolder(controls.window, L"图片搬家到：", path, 1)) setControlText(controls.destFolder, path);
}

static void startMigration() {
    JobOptions options;
    windowReadOptions(&options);
    // The start checks, then the package is taken for the run, or the run does not start: another
    // run holds it, or this run could not write it back at its end.
    int taken = checkRunStart(options, controlEngineText(controls.destFolder).c_str(), packagePath);
    if (taken != PACKAGE_READY) {
        showBox(utf8ToWide(runStartRefusalText(taken)).c_str(), L"提示", MB_ICONWARNING | MB_OK);
        if (taken == START_NO_SOURCE) {
            SetFocus(controls.moveImageSpace);
        } else if (taken == START_NO_FOLDER || taken == START_FOLDER_MISSING ||
                   taken == START_FOLDER_IS_DESKTOP || taken == IMAGE_FOLDER_TOO_LONG) {
            SetFocus(controls.chooseFolder);
        }
        return;
    }
    // Another program (or another window's run) changed the package since page 1 read it: a run
    // would write the stale copy back over it.
    if (!packageUnchanged(packagePath, loadedPackage)) {
        endPackageRun();
        showBox(L"数据包文件已被修改，请重新选择数据包。", L"提示", MB_ICONWARNING | MB_OK);
        backToPage1();
        SetFocus(controls.chooseCsv);
        return;
    }

    // The run is made in the mode the box shows (the job reads it with the other options): ticked,
    // the items take in the https addresses that the load kept apart, and the lists are what a read
    // in secure mode gives. The box stays disabled until the next load, which reads afresh.
    if (options.secureMode) includeUncollectedImages(items);
    setOptionsEnabled(FALSE);
    EnableWindow(controls.back, FALSE);
    EnableWindow(controls.next, FALSE);
    try {
        std::thread job([] { runMigrationJob(); });
        job.detach();
    } catch (const std::system_error&) {
        showBox(L"启动图片搬家线程失败", L"提示", MB_ICONERROR | MB_OK);
        windowEndProcess(-1);
    }
}

void insertItemRow(Item* item) {
    std::wstring title = engineToWide(item->title);
    LVITEMW row;
    std::memset(&row, 0, sizeof row);
    row.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
    row.iItem = item->index;
    row.pszText = const_cast<wchar_t*>(title.c_str());
    row.iImage = 0;
    row.lParam = reinterpret_cast<LPARAM>(item);
    int inserted =
        static_cast<int>(SendMessageW(controls.list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&row)));
    if (inserted < 0) return;
    const wchar_t* cells[3] = {L"等待", L"", L""};
    for (int column = 1; column <= 3; column++) {
        LVITEMW cell;
        std::memset(&cell, 0, sizeof cell);
        cell.iSubItem = column;
        cell.pszText = const_cast<wchar_t*>(cells[column - 1]);
        SendMessageW(controls.list, LVM_SETITEMTEXTW, static_cast<WPARAM>(inserted),
                     reinterpret_cast<LPARAM>(&cell));
    }
}

static void appendFailures(std::wstring& text, const wchar_t* heading, const ArrayList* failures) {
    text += heading;
    for (int32_t i = 0; i < failures->count; i++) {
        text += L"\r\n";
        text += engineToWide(static_cast<const char*>(failures->items[i]));
    }
}

std::wstring failedAddressText(const Item* item) {
    std::wstring text;
    if (!item || item->status != ITEM_STATUS_FINISHED) return text;
    if (item->descFailures) {
        appendFailures(text,
                       L"[宝贝描述]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：",
                       item->descFailures);
    }
    if (item->mobileFailures) {
        if (!text.empty()) text += L"\r\n\r\n";
        appendFailures(text,
                       L"[无线详情]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：",
                       item->mobileFailures);
    }
    return text;
}

void showFailedAddresses() {
    HWND list = controls.list;
    if (SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0) < 1) {
        setControlText(controls.failedList, L"");
        return;
    }
    // The list holds one selected row at most. Asking for it directly, rather than visiting every
    // row, keeps the notifications of a run over a large package from costing a walk each.
    int row = static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    if (row < 0) {
        setControlText(controls.failedList, L"");
        return;
    }
    LVITEMW query;
    std::memset(&query, 0, sizeof query);
    query.mask = LVIF_PARAM;
    query.iItem = row;
    SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&query));
    setControlText(controls.failedList,
                   failedAddressText(reinterpret_cast<const Item*>(query.lParam)).c_str());
}

// ---- Closing ----

static void closeRequested() {
    if (jobRunning.load() == 0) windowEndProcess(0);
    if (showBox(L"正在搬家，确定要关闭吗？", L"确认", MB_ICONQUESTION | MB_OKCANCEL) != IDOK) return;
    if (jobRunning.load() == 0) windowEndProcess(0);
    stopRequested.store(1);
    EnableWindow(controls.close, FALSE);
    EnableMenuItem(GetSystemMenu(controls.window, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
}

// ---- Colours, painting, links ----

static LRESULT controlColour(HWND window, WPARAM wParam, LPARAM lParam) {
    HDC dc = reinterpret_cast<HDC>(wParam);
    HWND control = reinterpret_cast<HWND>(lParam);
    const MainWindowControls& c = controls;
    if (control == c.helpLink || control == c.websiteLink) {
        SetTextColor(dc, RGB(0, 0, 255));
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetStockObject(HOLLOW_BRUSH));
    }
    if (control == c.csvPath || control == c.destFolder || control == c.failedList) {
        return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
    }
    if (control == c.moveImageSpace || control == c.moveThirdParty || control == c.blankFailed ||
        control == c.moveHttps || control == c.progressText || control == c.notice) {
        SetBkMode(dc, OPAQUE);
        return DefWindowProcW(window, WM_CTLCOLORSTATIC, wParam, lParam);
    }
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetStockObject(HOLLOW_BRUSH));
}

static void drawLine(HDC dc, int colour, int x1, int y1, int x2, int y2) {
    HPEN pen = CreatePen(PS_SOLID, 1, GetSysColor(colour));
    HGDIOBJ old = SelectObject(dc, pen);
    MoveToEx(dc, x1, y1, nullptr);
    LineTo(dc, x2, y2);
    SelectObject(dc, old);
    DeleteObject(pen);
}

// Draws the background of the main window's client area. Whichever window paints first, the
// picture has the main window's size, so the lines below the pages are always in it.
static void drawBackgroundPicture(HDC windowDc) {
    const int dpi = controls.dpi;
    auto scaled = [dpi](int value) { return scaleForDpi(value, dpi); };
    const int pictureWidth = scaled(MAIN_WINDOW_WIDTH);
    RECT client;
    GetClientRect(controls.window, &client);
    int width = client.right > 0 ? client.right : MAIN_WINDOW_WIDTH;
    int height = client.bottom > 0 ? client.bottom : MAIN_WINDOW_HEIGHT;
    HDC dc = CreateCompatibleDC(windowDc);
    HBITMAP bitmap = CreateCompatibleBitmap(windowDc, width, height);
    SelectObject(dc, bitmap);

    RECT all = {-10, -10, width + 20, height + 20};
    FillRect(dc, &all, GetSysColorBrush(COLOR_BTNFACE));

    HPEN pen = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW));
    HGDIOBJ oldPen = SelectObject(dc, pen);
    HGDIOBJ oldBrush = SelectObject(dc, GetSysColorBrush(COLOR_WINDOW));
    Rectangle(dc, -1, -1, pictureWidth, scaled(72));
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(pen);

    // Two lines of one pixel each at every DPI, the second just below the first; like the bottom
    // bar, they move up by the height the window gives up.
    const int line = scaled(484) - controls.heightGiven;
    drawLine(dc, COLOR_BTNSHADOW, 0, line, pictureWidth, line);
    drawLine(dc, COLOR_3DDKSHADOW, 0, line + 1, pictureWidth, line + 1);
    drawLine(dc, COLOR_BTNSHADOW, scaled(147), line + scaled(505) - scaled(484), scaled(147),
             line + scaled(516) - scaled(484));
    backgroundPicture = dc;
}

static void paintWindow(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (!backgroundPicture) drawBackgroundPicture(dc);
    RECT client;
    GetClientRect(window, &client);
    BitBlt(dc, 0, 0, client.right, client.bottom, backgroundPicture, 0, 0, SRCCOPY);
    EndPaint(window, &paint);
}

int handleLinkMessage(const MSG* message) {
    const MainWindowControls& c = controls;
    int onLink = message->hwnd && (message->hwnd == c.helpLink || message->hwnd == c.websiteLink);
    if (message->message == WM_MOUSEMOVE) {
        static int handShown = 0;
        if (onLink != handShown && c.helpLink) {
            LPCWSTR cursor = onLink ? IDC_HAND : IDC_ARROW;
            SetClassLongPtrW(c.helpLink, GCLP_HCURSOR,
                             reinterpret_cast<LONG_PTR>(LoadCursorW(nullptr, cursor)));
            handShown = onLink;
        }
        return 0;
    }
    if (message->message == WM_LBUTTONDOWN && onLink) {
        char url[1024];
        productPageUrl(message->hwnd == c.helpLink ? "help.html" : "", url, sizeof url);
        openUrl(url);
        return 1;
    }
    return 0;
}

// ---- Screens of another DPI, icons ----

// The task bar's icon, and after a move to a screen of another DPI the caption's too, picked at the
// sizes of the DPI. At the start the caption shows the class's icon, which the system draws at its
// own small size.
static void setWindowIcons(HWND window, int dpi, int withSmall) {
    if (!appInstance || !FindResourceW(appInstance, MAKEINTRESOURCEW(APP_ICON_ID), RT_GROUP_ICON)) return;
    int small = systemMetricForDpi(SM_CXSMICON, dpi);
    int big = systemMetricForDpi(SM_CXICON, dpi);
    HICON smallIcon = withSmall ? loadIconAtSize(appInstance, APP_ICON_ID, small) : nullptr;
    // The big icon's own resource holds 32 and 16 pixels; larger sizes come from the application icon.
    HICON bigIcon = loadIconAtSize(appInstance, big > 32 ? APP_ICON_ID : BIG_ICON_ID, big);
    HICON oldSmall = nullptr;
    if (smallIcon) {
        oldSmall = reinterpret_cast<HICON>(
            SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon)));
    }
    auto oldBig = reinterpret_cast<HICON>(
        SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon)));
    if (oldSmall && oldSmall != appIcon) DestroyIcon(oldSmall);
    if (oldBig && oldBig != appIcon) DestroyIcon(oldBig);
}

// Sizes the window for the DPI. On a screen too low for the whole window, the window gives up the
// height it lacks (at most the design's MOST_HEIGHT_GIVEN pixels) at the fold, so that it stays
// whole on the work area, caption and buttons included.
static void fitToScreen(HWND window, int dpi) {
    int whole = fitWindowSize(window, MAIN_WINDOW_WIDTH, MAIN_WINDOW_HEIGHT, dpi, 0);
    RECT work = workAreaOf(window);
    int lacking = whole - (work.bottom - work.top);
    int most = scaleForDpi(MOST_HEIGHT_GIVEN, dpi);
    controls.heightGiven = lacking <= 0 ? 0 : lacking < most ? lacking : most;
    if (controls.heightGiven > 0) {
        fitWindowSize(window, MAIN_WINDOW_WIDTH, MAIN_WINDOW_HEIGHT, dpi, controls.heightGiven);
    }
}

// The window moved to a screen of another DPI: it takes the rectangle the system suggests and
// lays everything out again from the design, with a background picture of the new size.
static void moveToDpi(int dpi, const RECT* suggested) {
    if (dpi <= 0 || !suggested) return;
    HWND window = controls.window;
    SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    fitToScreen(window, dpi);
    layOutControls(window, dpi);
    keepWindowInWorkArea(window);
    if (backgroundPicture) {
        HBITMAP picture = static_cast<HBITMAP>(GetCurrentObject(backgroundPicture, OBJ_BITMAP));
        DeleteDC(backgroundPicture);
        if (picture) DeleteObject(picture);
        backgroundPicture = nullptr;
    }
    setWindowIcons(window, dpi, 1);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_ERASE);
}

// ---- The keyboard ----

static int isPushButton(HWND control) {
    wchar_t className[16] = {0};
    GetClassNameW(control, className, 16);
    if (_wcsicmp(className, L"button") != 0) return 0;
    LONG type = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
    return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

static void pressButton(HWND button) {
    if (IsWindowVisible(button) && IsWindowEnabled(button)) SendMessageW(button, BM_CLICK, 0, 0);
}

int handleDialogKeys(MSG* message) {
    HWND window = controls.window;
    if (!window || message->message != WM_KEYDOWN) return 0;
    if (message->hwnd != window && !IsChild(window, message->hwnd)) return 0;
    if (GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_MENU) < 0) return 0;
    switch (message->wParam) {
    case VK_TAB: {
        HWND focus = GetFocus();
        if (focus != window && !IsChild(window, focus)) focus = nullptr;
        HWND next = GetNextDlgTabItem(window, focus, GetKeyState(VK_SHIFT) < 0);
        if (next) SetFocus(next);
        // The focus rectangle shows from the first key on.
        SendMessageW(window, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
        return 1;
    }
    case VK_RETURN: {
        HWND focus = GetFocus();
        pressButton(focus && IsChild(window, focus) && isPushButton(focus) ? focus : controls.next);
        return 1;
    }
    case VK_ESCAPE:
        if (IsWindowEnabled(controls.close)) SendMessageW(window, WM_CLOSE, 0, 0);
        return 1;
    default:
        return 0;
    }
}

// ---- The window procedure ----

static LRESULT command(HWND window, WPARAM wParam, LPARAM lParam) {
    if (!lParam) return DefWindowProcW(window, WM_COMMAND, wParam, lParam);
    switch (LOWORD(wParam)) {
    case IDC_CHOOSE_CSV:
        chooseCsvFile();
        break;
    case IDC_CHOOSE_FOLDER:
        chooseDestination();
        break;
    case IDC_BACK:
        backToPage1();
        break;
    case IDC_NEXT:
        if (currentPage == 1) {
            nextOnPage1();
        } else {
            startMigration();
        }
        break;
    case IDC_CLOSE:
        SendMessageW(controls.window, WM_CLOSE, 0, 0);
        break;
    case IDC_MOVE_IMAGE_SPACE:
    case IDC_MOVE_THIRD_PARTY:
        showSecureCount(selectedSecureCount());
        break;
    default:
        break;
    }
    return 0;
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        if (!controls.window) {
            controls.window = window;
            controls.dpi = dpiForWindow(window);
            createControls(window);
        }
        return 0;
    case WM_ACTIVATE:
        // Painting at once draws the background picture at the main window's size first.
        if (LOWORD(wParam) == WA_ACTIVE) SendMessageW(window, WM_PAINT, 0, 0);
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_PAINT:
        paintWindow(window);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_CTLCOLORSTATIC:
        return controlColour(window, wParam, lParam);
    case WM_COMMAND:
        return command(window, wParam, lParam);
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header && header->hwndFrom == controls.list && header->code == LVN_ITEMCHANGED)
            showFailedAddresses();
        return 0;
    }
    case WM_DROPFILES:
        dropFiles(reinterpret_cast<HDROP>(wParam));
        return 0;
    case WM_CLOSE:
        if (window == controls.window) closeRequested();
        return 0;
    case WM_DPICHANGED:
        if (window == controls.window) moveToDpi(LOWORD(wParam), reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_DESTROY:
        if (window == controls.window) PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

int registerMainWindowClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass;
    std::memset(&windowClass, 0, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = mainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = appIcon;
    windowClass.hIconSm = appIcon;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = MAIN_WINDOW_CLASS;
    return RegisterClassExW(&windowClass) != 0;
}

HWND openMainWindow(HINSTANCE instance, int showCommand) {
    INITCOMMONCONTROLSEX common = {sizeof(INITCOMMONCONTROLSEX), ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&common);
    appInstance = instance;
    char title[64];
    std::snprintf(title, sizeof title, "%s(V%0.1f)", PRODUCT_NAME, APP_VERSION);
    std::wstring wideTitle = engineToWide(title);
    HWND window = CreateWindowExW(WS_EX_APPWINDOW | WS_EX_ACCEPTFILES, MAIN_WINDOW_CLASS, wideTitle.c_str(),
                                  WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT,
                                  MAIN_WINDOW_WIDTH, MAIN_WINDOW_HEIGHT, nullptr, nullptr, instance, nullptr);
    if (!window) return nullptr;
    fitToScreen(window, controls.dpi);
    if (controls.heightGiven > 0) layOutControls(window, controls.dpi);
    placeWindow(window);
    setWindowIcons(window, controls.dpi, 0);
    ShowWindow(window, showCommand);
    return window;
}
