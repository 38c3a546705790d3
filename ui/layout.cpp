// The controls of the main window: which exist, on which page, with which text, style, place and
// font. Places and font heights are those of the 96-DPI design; each is scaled once to the window's
// DPI when the controls are made, and again from the design when the window moves to a screen of
// another DPI.
#include "ui/mainwindow.h"

#include "ui/shell.h"

#include <commctrl.h>

#include <cstring>

// A control with its place in the design, in its parent's client coordinates at 96 DPI.
struct ControlPlace {
    HWND control;
    int x;
    int y;
    int width;
    int height;
};

constexpr int MAX_PLACES = 32;
static ControlPlace places[MAX_PLACES];
static int placeCount;

struct ListColumn {
    const wchar_t* text;
    int width;
    int format;
};
static const ListColumn LIST_COLUMNS[] = {{L"宝贝标题", 340, LVCFMT_LEFT},
                                          {L"状态", 80, LVCFMT_CENTER},
                                          {L"电脑端失败数", 96, LVCFMT_CENTER},
                                          {L"手机端失败数", 96, LVCFMT_CENTER}};

// A control's rectangle at the DPI, less the height given up at the fold. Edges are scaled rather
// than sizes, so that controls that meet in the design meet at every DPI.
static RECT placeAt(const ControlPlace& p, int dpi, int heightGiven) {
    RECT r = {scaleForDpi(p.x, dpi), scaleForDpi(p.y, dpi), scaleForDpi(p.x + p.width, dpi),
              scaleForDpi(p.y + p.height, dpi)};
    if (p.y >= FOLD_Y) r.top -= heightGiven;
    if (p.y + p.height > FOLD_Y) r.bottom -= heightGiven;
    return r;
}

static HWND makeControl(HWND parent, const wchar_t* className, const wchar_t* text, DWORD exStyle,
                        DWORD style, int x, int y, int width, int height, int id) {
    ControlPlace place = {nullptr, x, y, width, height};
    RECT r = placeAt(place, controls.dpi, controls.heightGiven);
    place.control = CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, r.left, r.top,
                                    r.right - r.left, r.bottom - r.top, parent,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), appInstance, nullptr);
    if (place.control && placeCount < MAX_PLACES) places[placeCount++] = place;
    return place.control;
}

static BOOL CALLBACK setFontOfChild(HWND child, LPARAM font) {
    SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
    return TRUE;
}

// Makes the three fonts for the DPI, gives them to the controls and releases those of the DPI
// before. Every font keeps its design size in points.
static void applyFonts(HWND window, int dpi) {
    MainWindowControls& c = controls;
    HFONT oldFonts[3] = {c.defaultFont, c.titleFont, c.linkFont};
    c.defaultFont = makeFont(L"宋体", defaultFontHeight(dpi), FW_NORMAL, 0, 0);
    c.titleFont = makeFont(L"宋体", scaleForDpi(20, dpi), FW_BOLD, 1, 0);
    c.linkFont = makeFont(L"宋体", scaleForDpi(14, dpi), 0, 0, 0);
    EnumChildWindows(window, setFontOfChild, reinterpret_cast<LPARAM>(c.defaultFont));
    SendMessageW(c.stepTitle1, WM_SETFONT, reinterpret_cast<WPARAM>(c.titleFont), TRUE);
    SendMessageW(c.stepTitle2, WM_SETFONT, reinterpret_cast<WPARAM>(c.titleFont), TRUE);
    SendMessageW(c.helpLink, WM_SETFONT, reinterpret_cast<WPARAM>(c.linkFont), TRUE);
    SendMessageW(c.websiteLink, WM_SETFONT, reinterpret_cast<WPARAM>(c.linkFont), TRUE);
    for (HFONT old : oldFonts) {
        if (old) DeleteObject(old);
    }
}

// The list's row height comes from an image list of empty images 1 pixel wide; the columns keep
// their design widths.
static void sizeList(HWND list, int dpi) {
    HIMAGELIST rows = ImageList_Create(1, scaleForDpi(LIST_ROW_HEIGHT, dpi), ILC_COLOR24 | ILC_MASK, 3, 1);
    auto old = reinterpret_cast<HIMAGELIST>(
        SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(rows)));
    if (old) ImageList_Destroy(old);
    for (int column = 0; column < 4; column++) {
        SendMessageW(list, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column),
                     MAKELPARAM(scaleForDpi(LIST_COLUMNS[column].width, dpi), 0));
    }
}

static void setUpList(HWND list) {
    const DWORD extended = LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP;
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, extended, extended);
    for (int column = 0; column < 4; column++) {
        LVCOLUMNW col;
        std::memset(&col, 0, sizeof col);
        col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
        col.fmt = LIST_COLUMNS[column].format;
        col.cx = scaleForDpi(LIST_COLUMNS[column].width, controls.dpi);
        col.pszText = const_cast<wchar_t*>(LIST_COLUMNS[column].text);
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&col));
    }
    sizeList(list, controls.dpi);
}

void layOutControls(HWND window, int dpi) {
    HWND list = controls.list;
    // The rows, the selection and the first row shown survive; only sizes change.
    int top = static_cast<int>(SendMessageW(list, LVM_GETTOPINDEX, 0, 0));
    controls.dpi = dpi;
    for (int i = 0; i < placeCount; i++) {
        RECT r = placeAt(places[i], dpi, controls.heightGiven);
        SetWindowPos(places[i].control, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    applyFonts(window, dpi);
    sizeList(list, dpi);
    int now = static_cast<int>(SendMessageW(list, LVM_GETTOPINDEX, 0, 0));
    RECT row;
    row.left = LVIR_BOUNDS;
    if (top != now && SendMessageW(list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row))) {
        SendMessageW(list, LVM_SCROLL, 0, (top - now) * (row.bottom - row.top));
    }
    InvalidateRect(window, nullptr, TRUE);
}

void createControls(HWND window) {
    MainWindowControls& c = controls;
    // Tab walks the controls with WS_TABSTOP in the order they are made; the panels pass it on to
    // their own controls (WS_EX_CONTROLPARENT), and a hidden panel's controls are skipped.
    c.page1 = makeControl(window, L"static", L"panel", WS_EX_CONTROLPARENT, SS_BITMAP, 0, 0,
                          MAIN_WINDOW_WIDTH, PAGE_HEIGHT, IDC_PAGE_PANEL);
    // No two controls overlap: the step titles end above the descriptions, the folder label at the
    // folder box and the failed-address label at its box (their texts are drawn where they were).
    c.stepTitle1 = makeControl(c.page1, L"static", L"第一步：选择淘宝助理导出的数据包(CSV)文件", 0, SS_NOTIFY,
                               21, 13, 500, 30, 0);
    c.description1 =
        makeControl(c.page1, L"static", L"选择淘宝助理(版本:5.x+)导出的CSV文件或别人提供给您的CSV文件。", 0,
                    SS_NOTIFY, 21, 43, 500, 28, 0);
    c.csvPath = makeControl(c.page1, L"edit", L"", WS_EX_CLIENTEDGE,
                            WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL, 20, 161, 442, 22, IDC_CSV_PATH);
    c.chooseCsv = makeControl(c.page1, L"button", L"选择CSV文件...", 0, WS_TABSTOP | BS_PUSHBUTTON, 471, 160,
                              100, 24, IDC_CHOOSE_CSV);
    c.notice = makeControl(c.page1, L"edit", L"", 0, ES_READONLY | ES_MULTILINE | ES_AUTOVSCROLL, 20, 211,
                           635, 263, IDC_NOTICE);

    c.page2 = makeControl(window, L"static", L"panel", WS_EX_CONTROLPARENT, SS_BITMAP, 0, 0,
                          MAIN_WINDOW_WIDTH, PAGE_HEIGHT, IDC_PAGE_PANEL);
    c.stepTitle2 = makeControl(c.page2, L"static", L"第二步：设置图片搬家选项，准备进行搬家", 0, SS_NOTIFY,
                               21, 13, 500, 30, 0);
    c.description2 =
        makeControl(c.page2, L"static",
                    L"如果搬家开始后中途关闭，再次对这个csv文件搬家时将自动从上次中断的地方继续搬家。", 0,
                    SS_NOTIFY, 21, 43, 500, 28, 0);
    // Two rows of options: the three of the sources and failures, then the https one.
    c.moveImageSpace = makeControl(c.page2, L"button", L"搬来自淘宝图片空间里的图片", 0,
                                   WS_TABSTOP | BS_AUTOCHECKBOX, 17, 79, 182, 21, IDC_MOVE_IMAGE_SPACE);
    c.moveThirdParty = makeControl(c.page2, L"button", L"搬来自第三方相册里的图片", 0,
                                   WS_TABSTOP | BS_AUTOCHECKBOX, 216, 79, 172, 21, IDC_MOVE_THIRD_PARTY);
    c.blankFailed = makeControl(c.page2, L"button", L"将搬家失败的图片替换为空白图片", 0,
                                WS_TABSTOP | BS_AUTOCHECKBOX, 403, 79, 211, 21, IDC_BLANK_FAILED);
    c.moveHttps = makeControl(c.page2, L"button", L"同时搬家https图片地址", 0, WS_TABSTOP | BS_AUTOCHECKBOX,
                              17, 102, 182, 21, IDC_MOVE_HTTPS);
    // How many https and protocol-relative addresses the selected sources would move; shown only
    // when there are any.
    c.secureCount = makeControl(c.page2, L"static", L"", 0, 0, 216, 104, 440, 17, IDC_SECURE_COUNT);
    c.destLabel = makeControl(c.page2, L"static", L"图片搬家到：", 0, SS_NOTIFY, 16, 137, 77, 20, 0);
    c.destFolder = makeControl(c.page2, L"edit", L"", WS_EX_CLIENTEDGE,
                               WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL, 93, 133, 475, 22, IDC_DEST_FOLDER);
    c.chooseFolder = makeControl(c.page2, L"button", L"选择...", 0, WS_TABSTOP | BS_PUSHBUTTON, 575, 132, 82,
                                 24, IDC_CHOOSE_FOLDER);
    c.list = makeControl(c.page2, WC_LISTVIEWW, nullptr, WS_EX_CLIENTEDGE,
                         WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, 16, 167, 640, 144, 0);
    c.failedLabel =
        makeControl(c.page2, L"static", L"搬家失败的图片地址：", 0, SS_NOTIFY, 17, 320, 223, 19, 0);
    c.failedList =
        makeControl(c.page2, L"edit", L"", WS_EX_CLIENTEDGE,
                    WS_TABSTOP | WS_VSCROLL | ES_READONLY | ES_MULTILINE, 17, 339, 640, 89, IDC_FAILED_LIST);
    c.progress = makeControl(c.page2, PROGRESS_CLASSW, L"", 0, 0, 17, 435, 640, 21, 0);
    c.progressText =
        makeControl(c.page2, L"static", L"搬家进度(宝贝数:0)", 0, SS_NOTIFY, 17, 462, 640, 20, 0);

    c.back =
        makeControl(window, L"button", L"上一步", 0, WS_TABSTOP | BS_PUSHBUTTON, 387, 499, 86, 25, IDC_BACK);
    c.next =
        makeControl(window, L"button", L"下一步", 0, WS_TABSTOP | BS_PUSHBUTTON, 482, 499, 86, 25, IDC_NEXT);
    c.close =
        makeControl(window, L"button", L"关闭", 0, WS_TABSTOP | BS_PUSHBUTTON, 577, 499, 86, 25, IDC_CLOSE);
    c.helpLink =
        makeControl(window, L"static", L"搬家教程与常见问题", 0, SS_NOTIFY, 13, 504, 128, 17, IDC_HELP_LINK);
    c.websiteLink =
        makeControl(window, L"static", L"官方网站", 0, SS_NOTIFY, 157, 504, 60, 17, IDC_WEBSITE_LINK);

    setUpList(c.list);
    // The box holds every failed address of an item, however many there are.
    SendMessageW(c.failedList, EM_SETLIMITTEXT, 0, 0);

    SetWindowLongPtrW(c.page1, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(mainWindowProc));
    SetWindowLongPtrW(c.page2, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(mainWindowProc));
    applyFonts(window, c.dpi);
    ShowWindow(c.secureCount, SW_HIDE);

    ShowWindow(c.page2, SW_HIDE);
    SendMessageW(c.moveImageSpace, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(c.moveThirdParty, BM_SETCHECK, BST_CHECKED, 0);
    ShowWindow(c.back, SW_HIDE);
}
