// The controls of the main window: which exist, on which page, with which text, style, place and
// font, made once when the main window is created.
#include "ui/mainwindow.h"

#include "ui/shell.h"

#include <commctrl.h>

#include <cstring>

static HWND makeControl(HWND parent, const wchar_t* className, const wchar_t* text, DWORD exStyle,
                        DWORD style, int x, int y, int width, int height, int id) {
    return CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                           parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), appInstance, nullptr);
}

static BOOL CALLBACK applyDefaultFontToChild(HWND child, LPARAM) {
    applyDefaultFont(child);
    return TRUE;
}

static void addListColumn(HWND list, int column, const wchar_t* text, int width, int format) {
    LVCOLUMNW col;
    std::memset(&col, 0, sizeof col);
    col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    col.fmt = format;
    col.cx = width;
    col.pszText = const_cast<wchar_t*>(text);
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&col));
}

static void setUpList(HWND list) {
    const DWORD extended = LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP;
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, extended, extended);
    // An image list of empty 1 × 19 images gives every row its height.
    HIMAGELIST rows = ImageList_Create(1, LIST_ROW_HEIGHT, ILC_COLOR24 | ILC_MASK, 3, 1);
    SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(rows));
    addListColumn(list, 0, L"宝贝标题", 340, LVCFMT_LEFT);
    addListColumn(list, 1, L"状态", 80, LVCFMT_CENTER);
    addListColumn(list, 2, L"电脑端失败数", 96, LVCFMT_CENTER);
    addListColumn(list, 3, L"手机端失败数", 96, LVCFMT_CENTER);
}

void createControls(HWND window) {
    MainWindowControls& c = controls;
    c.page1 = makeControl(window, L"static", L"panel", 0, SS_BITMAP, 0, 0, MAIN_WINDOW_WIDTH, PAGE_HEIGHT,
                          IDC_PAGE_PANEL);
    c.stepTitle1 = makeControl(c.page1, L"static", L"第一步：选择淘宝助理导出的数据包(CSV)文件", 0, SS_NOTIFY,
                               21, 13, 500, 32, 0);
    c.description1 =
        makeControl(c.page1, L"static", L"选择淘宝助理(版本:5.x+)导出的CSV文件或别人提供给您的CSV文件。", 0,
                    SS_NOTIFY, 21, 43, 500, 28, 0);
    c.csvPath = makeControl(c.page1, L"edit", L"", WS_EX_CLIENTEDGE, ES_READONLY | ES_AUTOHSCROLL, 20, 161,
                            442, 22, IDC_CSV_PATH);
    c.chooseCsv = makeControl(c.page1, L"button", L"选择CSV文件...", 0, BS_PUSHBUTTON, 471, 160, 100, 24,
                              IDC_CHOOSE_CSV);
    c.notice = makeControl(c.page1, L"edit", L"", 0, ES_READONLY | ES_MULTILINE | ES_AUTOVSCROLL, 20, 211,
                           635, 263, IDC_NOTICE);

    c.page2 = makeControl(window, L"static", L"panel", 0, SS_BITMAP, 0, 0, MAIN_WINDOW_WIDTH, PAGE_HEIGHT,
                          IDC_PAGE_PANEL);
    c.stepTitle2 = makeControl(c.page2, L"static", L"第二步：设置图片搬家选项，准备进行搬家", 0, SS_NOTIFY,
                               21, 13, 500, 32, 0);
    c.description2 =
        makeControl(c.page2, L"static",
                    L"如果搬家开始后中途关闭，再次对这个csv文件搬家时将自动从上次中断的地方继续搬家。", 0,
                    SS_NOTIFY, 21, 43, 500, 28, 0);
    // Two rows of options: the three of the sources and failures, then the https one.
    c.moveImageSpace = makeControl(c.page2, L"button", L"搬来自淘宝图片空间里的图片", 0, BS_AUTOCHECKBOX, 17,
                                   79, 182, 21, IDC_MOVE_IMAGE_SPACE);
    c.moveThirdParty = makeControl(c.page2, L"button", L"搬来自第三方相册里的图片", 0, BS_AUTOCHECKBOX, 216,
                                   79, 172, 21, IDC_MOVE_THIRD_PARTY);
    c.blankFailed = makeControl(c.page2, L"button", L"将搬家失败的图片替换为空白图片", 0, BS_AUTOCHECKBOX,
                                403, 79, 211, 21, IDC_BLANK_FAILED);
    c.moveHttps = makeControl(c.page2, L"button", L"同时搬家https图片地址", 0, BS_AUTOCHECKBOX, 17, 102, 182,
                              21, IDC_MOVE_HTTPS);
    c.destLabel = makeControl(c.page2, L"static", L"图片搬家到：", 0, SS_NOTIFY, 16, 137, 78, 20, 0);
    c.destFolder = makeControl(c.page2, L"edit", L"", WS_EX_CLIENTEDGE, ES_READONLY | ES_AUTOHSCROLL, 93, 133,
                               475, 22, IDC_DEST_FOLDER);
    c.chooseFolder =
        makeControl(c.page2, L"button", L"选择...", 0, BS_PUSHBUTTON, 575, 132, 82, 24, IDC_CHOOSE_FOLDER);
    c.list = makeControl(c.page2, WC_LISTVIEWW, nullptr, WS_EX_CLIENTEDGE,
                         LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, 16, 167, 640, 144, 0);
    c.failedLabel =
        makeControl(c.page2, L"static", L"搬家失败的图片地址：", 0, SS_NOTIFY, 17, 320, 223, 22, 0);
    c.failedList = makeControl(c.page2, L"edit", L"", WS_EX_CLIENTEDGE,
                               WS_VSCROLL | ES_READONLY | ES_MULTILINE, 17, 339, 640, 89, IDC_FAILED_LIST);
    c.progress = makeControl(c.page2, PROGRESS_CLASSW, L"", 0, 0, 17, 435, 640, 21, 0);
    c.progressText =
        makeControl(c.page2, L"static", L"搬家进度(宝贝数:0)", 0, SS_NOTIFY, 17, 462, 640, 20, 0);

    c.back = makeControl(window, L"button", L"上一步", 0, BS_PUSHBUTTON, 387, 499, 86, 25, IDC_BACK);
    c.next = makeControl(window, L"button", L"下一步", 0, BS_PUSHBUTTON, 482, 499, 86, 25, IDC_NEXT);
    c.close = makeControl(window, L"button", L"关闭", 0, BS_PUSHBUTTON, 577, 499, 86, 25, IDC_CLOSE);
    c.helpLink =
        makeControl(window, L"static", L"搬家教程与常见问题", 0, SS_NOTIFY, 13, 504, 128, 17, IDC_HELP_LINK);
    c.websiteLink =
        makeControl(window, L"static", L"官方网站", 0, SS_NOTIFY, 157, 504, 60, 17, IDC_WEBSITE_LINK);

    setUpList(c.list);
    // The box holds every failed address of an item, however many there are.
    SendMessageW(c.failedList, EM_SETLIMITTEXT, 0, 0);

    EnumChildWindows(window, applyDefaultFontToChild, 0);
    SetWindowLongPtrW(c.page1, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(mainWindowProc));
    SetWindowLongPtrW(c.page2, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(mainWindowProc));
    setControlFont(c.stepTitle1, L"宋体", 20, FW_BOLD, 1, 0);
    setControlFont(c.stepTitle2, L"宋体", 20, FW_BOLD, 1, 0);
    setControlFont(c.helpLink, L"宋体", 14, 0, 0, 0);
    setControlFont(c.websiteLink, L"宋体", 14, 0, 0, 0);

    ShowWindow(c.page2, SW_HIDE);
    SendMessageW(c.moveImageSpace, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(c.moveThirdParty, BM_SETCHECK, BST_CHECKED, 0);
    ShowWindow(c.back, SW_HIDE);
}
