// Driving the real main window from a test as a user would.
#include "uidriver.h"

#include "core/appdir.h"
#include "core/applog.h"
#include "http/connectiontest.h"
#include "migration/jobwindow.h"
#include "support/testfiles.h"
#include "ui/mainwindow.h"
#include "ui/shell.h"
#include "ui/wintext.h"

#include <commctrl.h>
#include <shlobj.h>
#include <winsock2.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

static std::mutex boxMutex;
static std::deque<int> boxAnswers;
static std::vector<RecordedBox> boxes;
static HHOOK boxHook;
static std::string browserLog;

static int iconOf(HWND box) {
    // The icon's static control: id 20 on Windows, 0x440 in Wine's message box template.
    HICON icon = reinterpret_cast<HICON>(SendDlgItemMessageW(box, 20, STM_GETICON, 0, 0));
    if (!icon) icon = reinterpret_cast<HICON>(SendDlgItemMessageW(box, 0x440, STM_GETICON, 0, 0));
    if (!icon) return 0;
    if (icon == LoadIconW(nullptr, MAKEINTRESOURCEW(32513))) return ICON_ERROR;
    if (icon == LoadIconW(nullptr, MAKEINTRESOURCEW(32514))) return ICON_QUESTION;
    if (icon == LoadIconW(nullptr, MAKEINTRESOURCEW(32515))) return ICON_WARNING;
    if (icon == LoadIconW(nullptr, MAKEINTRESOURCEW(32516))) return ICON_INFORMATION;
    return -1;
}

static LRESULT CALLBACK recordBoxes(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND box = reinterpret_cast<HWND>(wParam);
        wchar_t className[16] = {0};
        GetClassNameW(box, className, 16);
        if (std::wcscmp(className, L"#32770") == 0 && GetDlgItem(box, 0xFFFF)) {
            RecordedBox record;
            record.text = wideToUtf8(controlText(GetDlgItem(box, 0xFFFF)));
            record.caption = wideToUtf8(controlText(box));
            record.icon = iconOf(box);
            for (int id = IDOK; id <= IDNO; id++) {
                if (HWND button = GetDlgItem(box, id)) record.buttons[id] = wideToUtf8(controlText(button));
            }
            int answer;
            {
                std::lock_guard<std::mutex> lock(boxMutex);
                boxes.push_back(record);
                if (!boxAnswers.empty()) {
                    answer = boxAnswers.front();
                    boxAnswers.pop_front();
                } else {
                    answer = GetDlgItem(box, IDOK) ? IDOK : (GetDlgItem(box, IDCANCEL) ? IDCANCEL : IDNO);
                }
            }
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, answer)));
        }
    }
    return CallNextHookEx(boxHook, code, wParam, lParam);
}

void queueBoxAnswer(int buttonId) {
    std::lock_guard<std::mutex> lock(boxMutex);
    boxAnswers.push_back(buttonId);
}

std::vector<RecordedBox> takeBoxes() {
    std::lock_guard<std::mutex> lock(boxMutex);
    std::vector<RecordedBox> taken;
    taken.swap(boxes);
    boxAnswers.clear();
    return taken;
}

std::string browserLogPath() {
    return browserLog;
}

void ensureMainWindow() {
    if (controls.window) return;
    // Every box of the process, whichever thread shows it, passes the recorder.
    boxHook = SetWindowsHookExW(WH_CBT, recordBoxes, GetModuleHandleW(nullptr), 0);
    if (!boxHook) boxHook = SetWindowsHookExW(WH_CBT, recordBoxes, nullptr, GetCurrentThreadId());

    char temp[MAX_PATH] = {0};
    GetTempPathA(sizeof temp, temp);
    browserLog = std::string(temp) + "vedo-ui-browser-" + std::to_string(GetCurrentProcessId()) + ".log";
    _putenv_s("VEDO_BROWSER_LOG", browserLog.c_str());
    _putenv_s("VEDO_PRODUCT_SITE", "http://127.0.0.1:9/site/");

    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    initConnectionPool();
    setLoopbackOnly(1);
    setConnectionTimeouts(10000, 15000); // never reached on a busy machine
    initAppDir();
    openLog();

    // As the program's manifest asks.
    declareDpiAwareness();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    registerMainWindowClass(instance);
    openMainWindow(instance, SW_SHOW);
    pumpFor(200);
}

bool pumpUntil(const std::function<bool()>& done, int timeoutMilliseconds) {
    DWORD end = GetTickCount() + static_cast<DWORD>(timeoutMilliseconds);
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (handleDialogKeys(&message)) continue;
            TranslateMessage(&message);
            if (handleLinkMessage(&message)) continue;
            DispatchMessageW(&message);
        }
        if (done()) return true;
        if (static_cast<LONG>(GetTickCount() - end) >= 0) return done();
        Sleep(5);
    }
}

void pumpFor(int milliseconds) {
    pumpUntil([] { return false; }, milliseconds);
}

void click(HWND button) {
    SendMessageW(button, BM_CLICK, 0, 0);
    pumpFor(20);
}

void dropFiles(const std::vector<std::wstring>& names) {
    size_t units = 1;
    for (const auto& name : names)
        units += name.size() + 1;
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + units * sizeof(wchar_t));
    auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    auto* at = reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(drop) + sizeof(DROPFILES));
    for (const auto& name : names) {
        std::memcpy(at, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
        at += name.size() + 1;
    }
    *at = L'\0';
    GlobalUnlock(memory);
    // The window releases the drop (DragFinish), as it does with the shell's.
    SendMessageW(controls.window, WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0);
    pumpFor(20);
}

std::string textOf(HWND control) {
    return wideToUtf8(controlText(control));
}

std::string cellText(int row, int column) {
    wchar_t buffer[512] = {0};
    LVITEMW cell;
    std::memset(&cell, 0, sizeof cell);
    cell.iSubItem = column;
    cell.pszText = buffer;
    cell.cchTextMax = 512;
    SendMessageW(controls.list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&cell));
    return wideToUtf8(buffer);
}

int rowCount() {
    return static_cast<int>(SendMessageW(controls.list, LVM_GETITEMCOUNT, 0, 0));
}

static void setRowState(int row, UINT state) {
    LVITEMW item;
    std::memset(&item, 0, sizeof item);
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = state;
    SendMessageW(controls.list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    pumpFor(20);
}

void selectRow(int row) {
    setRowState(row, LVIS_SELECTED | LVIS_FOCUSED);
}

void clearSelection() {
    setRowState(-1, 0);
}

bool isChecked(HWND box) {
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void setChecked(HWND box, bool checked) {
    if (isChecked(box) != checked) click(box);
}

bool acceptsDrops() {
    return (GetWindowLongPtrW(controls.window, GWL_EXSTYLE) & WS_EX_ACCEPTFILES) != 0;
}

bool systemCloseEnabled() {
    UINT state = GetMenuState(GetSystemMenu(controls.window, FALSE), SC_CLOSE, MF_BYCOMMAND);
    return (state & (MF_GRAYED | MF_DISABLED)) == 0;
}

void loadPackage(const std::wstring& path) {
    if (currentPage == 2) click(controls.back);
    dropFiles({path});
    click(controls.next);
}

std::vector<RecordedBox> runHttpsMigration(const std::string& package, const std::string& images) {
    loadPackage(widePath(package));
    if (currentPage != 2) return {};
    setChecked(controls.moveHttps, true);
    setControlText(controls.destFolder, widePath(images).c_str());
    click(controls.next);
    if (!pumpUntil([] { return IsWindowEnabled(controls.back) != 0; }, 60000)) return {};
    return takeBoxes();
}

static std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

void writeTestPackage(const std::string& path, const std::vector<PackageRow>& rows) {
    // Taobao Assistant starts with its version line and the English header; the header line's
    // last name carries the line's CR, so the mobile details are not the last column.
    std::string csv = "version 1.00\r\ntitle\tdescription\twireless_desc\tcid\r\n"
                      "宝贝名称\t宝贝描述\t无线详情\t宝贝类目\r\n";
    for (const auto& row : rows) {
        csv += quoted(row.title) + "\t" + quoted(row.description) + "\t" + quoted(row.mobile) + "\t0\r\n";
    }
    writeWholeFile(path, utf8ToUtf16leWithBom(csv));
}

std::wstring widePath(const std::string& enginePath) {
    return engineToWide(enginePath.c_str());
}
