// The wizard's shell operations: the browser, the desktop shortcut, the choosers, window placement.
#include "ui/shell.h"

#include "core/allocate.h"
#include "core/deployment.h"
#include "core/text.h"
#include "ui/wintext.h"

#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>

// The program's folder for the probe file, worked out on the first call of openUrl. Every caller
// computes the same value, so a second thread racing the first writes the same text.
static wchar_t urlProgramFolder[MAX_PATH];

static void programFolderOf(wchar_t* folder, size_t size) {
    wchar_t path[MAX_PATH] = {0};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        folder[0] = L'\0';
        return;
    }
    wchar_t* last = std::wcsrchr(path, L'\\');
    if (last) {
        if (last > path && last[-1] == L':') {
            last[1] = L'\0';
        } else {
            *last = L'\0';
        }
    }
    std::swprintf(folder, size, L"%ls", path);
}

static int endsWithIgnoreCaseWide(const wchar_t* text, const wchar_t* suffix) {
    size_t t = std::wcslen(text);
    size_t s = std::wcslen(suffix);
    return t >= s && _wcsicmp(text + t - s, suffix) == 0;
}

static int browserLogged(const char* url) {
    const char* log = std::getenv("VEDO_BROWSER_LOG");
    if (!log || !*log) return 0;
    FILE* f = std::fopen(log, "ab");
    if (f) {
        std::fprintf(f, "%s\n", url);
        std::fclose(f);
    }
    return 1;
}

static int shellOpen(const wchar_t* file, const wchar_t* parameters) {
    HINSTANCE result = ShellExecuteW(nullptr, L"open", file, parameters, nullptr, SW_SHOW);
    return reinterpret_cast<INT_PTR>(result) >= 32;
}

void openUrl(const char* url) {
    if (!url) return;
    if (!urlProgramFolder[0]) programFolderOf(urlProgramFolder, MAX_PATH);
    wchar_t probe[MAX_PATH + 16];
    if (urlProgramFolder[0]) {
        std::swprintf(probe, MAX_PATH + 16, L"%ls\\temp.html", urlProgramFolder);
    } else {
        std::swprintf(probe, MAX_PATH + 16, L"temp.html");
    }
    // Make the probe exist without changing it: the shell is asked which program opens it.
    if (FILE* f = _wfopen(probe, L"ab")) std::fclose(f);

    if (browserLogged(url)) return;

    std::wstring address = engineToWide(url);
    wchar_t program[MAX_PATH] = {0};
    INT_PTR found = reinterpret_cast<INT_PTR>(FindExecutableW(probe, nullptr, program));
    if (found <= 32 || endsWithIgnoreCaseWide(program, L"OpenWith.exe")) {
        // No browser is registered for .html: hand the address to the shell itself.
        if (shellOpen(address.c_str(), nullptr)) return;
        shellOpen(L"iexplore.exe", address.c_str());
        return;
    }
    if (shellOpen(program, address.c_str())) return;
    if (!endsWithIgnoreCaseWide(program, L"iexplore.exe")) {
        shellOpen(L"iexplore.exe", address.c_str());
    } else {
        shellOpen(address.c_str(), nullptr);
    }
}

void productPageUrl(const char* page, char* buffer, int size) {
    std::snprintf(buffer, static_cast<size_t>(size), "%s%s", productSiteUrl(), page ? page : "");
}

HRESULT createShellLink(const char* target, const char* arguments, const char* linkPath,
                        const char* description, int showCommand, const char* workingFolder,
                        const char* iconFile, int iconIndex) {
    if (!target || !*target || !arguments || !linkPath || !*linkPath || !description || showCommand < 0 ||
        !workingFolder || !iconFile || iconIndex < 0) {
        return E_INVALIDARG;
    }
    IShellLinkW* link = nullptr;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                      reinterpret_cast<void**>(&link));
    if (FAILED(result)) return result;
    link->SetPath(engineToWide(target).c_str());
    link->SetArguments(engineToWide(arguments).c_str());
    if (*description) link->SetDescription(engineToWide(description).c_str());
    if (showCommand != 0) link->SetShowCmd(showCommand);
    if (*workingFolder) link->SetWorkingDirectory(engineToWide(workingFolder).c_str());
    if (*iconFile) link->SetIconLocation(engineToWide(iconFile).c_str(), iconIndex);
    IPersistFile* file = nullptr;
    result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(result)) {
        result = file->Save(engineToWide(linkPath).c_str(), TRUE);
        file->Release();
    }
    link->Release();
    return result;
}

int chooseOpenFile(HINSTANCE instance, HWND owner, const wchar_t* title, const wchar_t* filter,
                   wchar_t* folder, wchar_t* path) {
    OPENFILENAMEW dialog;
    std::memset(&dialog, 0, sizeof dialog);
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.hInstance = instance;
    dialog.lpstrFile = path;
    dialog.nMaxFile = MAX_PATH;
    dialog.nMaxFileTitle = MAX_PATH;
    dialog.lpstrTitle = title;
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 1;
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    if (folder && folder[0]) dialog.lpstrInitialDir = folder;
    BOOL chosen = GetOpenFileNameW(&dialog);
    if (!chosen) return 0;
    if (folder) {
        size_t length = dialog.nFileOffset > 0 ? dialog.nFileOffset - 1u : 0u;
        if (length >= MAX_PATH) length = MAX_PATH - 1;
        std::wmemcpy(folder, path, length);
        folder[length] = L'\0';
    }
    return chosen;
}

// The folder that the browser opens on; one chooser is open at a time, on the main thread.
static wchar_t* folderInitialSelection;

static int CALLBACK folderBrowseCallback(HWND dialog, UINT message, LPARAM lParam, LPARAM) {
    if (message == BFFM_INITIALIZED) {
        SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(folderInitialSelection));
    } else if (message == BFFM_SELCHANGED) {
        wchar_t path[MAX_PATH] = {0};
        BOOL ok = SHGetPathFromIDListW(reinterpret_cast<LPCITEMIDLIST>(lParam), path) && path[0];
        PostMessageW(dialog, BFFM_ENABLEOK, 0, ok ? 1 : 0);
    }
    return 0;
}

int chooseFolder(HWND owner, const wchar_t* heading, wchar_t* path, int allowNewFolder) {
    if (!folderInitialSelection) {
        folderInitialSelection = static_cast<wchar_t*>(allocateZeroed(1024 * sizeof(wchar_t)));
    }
    std::swprintf(folderInitialSelection, 1024, L"%ls", path);
    wchar_t displayName[MAX_PATH] = {0};
    BROWSEINFOW browse;
    std::memset(&browse, 0, sizeof browse);
    browse.hwndOwner = owner;
    browse.pszDisplayName = displayName;
    browse.lpszTitle = heading;
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | (allowNewFolder ? 0 : BIF_NONEWFOLDERBUTTON);
    browse.lpfn = folderBrowseCallback;
    LPITEMIDLIST chosen = SHBrowseForFolderW(&browse);
    if (!chosen) return 0;
    wchar_t folder[MAX_PATH] = {0};
    BOOL ok = SHGetPathFromIDListW(chosen, folder);
    CoTaskMemFree(chosen);
    if (!ok || !folder[0]) return 0;
    std::wmemcpy(path, folder, MAX_PATH);
    return 1;
}

// ---- Dots per inch ----

// The per-monitor functions exist from Windows 10 on; they are looked up in user32 at run time so
// that the program still starts on older systems, where the system's DPI serves every window.
template <typename Function> static Function user32Function(const char* name) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (!user32) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user32, name)));
}

void declareDpiAwareness() {
    using SetContext = BOOL(WINAPI*)(HANDLE);
    using SetAware = BOOL(WINAPI*)();
    // The manifest asks for the same; a process that already has its awareness keeps it.
    SetContext setContext = user32Function<SetContext>("SetProcessDpiAwarenessContext");
    if (setContext && setContext(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)))) return;
    SetAware setAware = user32Function<SetAware>("SetProcessDPIAware");
    if (setAware) setAware();
}

int systemDpi() {
    HDC dc = GetDC(nullptr);
    int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSX) : USER_DEFAULT_SCREEN_DPI;
    if (dc) ReleaseDC(nullptr, dc);
    return dpi > 0 ? dpi : USER_DEFAULT_SCREEN_DPI;
}

int dpiForWindow(HWND window) {
    using GetDpi = UINT(WINAPI*)(HWND);
    GetDpi getDpi = user32Function<GetDpi>("GetDpiForWindow");
    int dpi = getDpi && window ? static_cast<int>(getDpi(window)) : 0;
    return dpi > 0 ? dpi : systemDpi();
}

int scaleForDpi(int value, int dpi) {
    return MulDiv(value, dpi, USER_DEFAULT_SCREEN_DPI);
}

int systemMetricForDpi(int index, int dpi) {
    using GetMetric = int(WINAPI*)(int, UINT);
    GetMetric getMetric = user32Function<GetMetric>("GetSystemMetricsForDpi");
    if (getMetric) return getMetric(index, static_cast<UINT>(dpi));
    return GetSystemMetrics(index);
}

int outerWindowHeight(int height, int dpi) {
    // The design's height holds a caption of 19 pixels; a taller or lower caption moves it.
    return scaleForDpi(height, dpi) + systemMetricForDpi(SM_CYCAPTION, dpi) - scaleForDpi(19, dpi);
}

int fitWindowSize(HWND window, int width, int height, int dpi, int heightGiven) {
    int outer = outerWindowHeight(height, dpi) - heightGiven;
    SetWindowPos(window, nullptr, 0, 0, scaleForDpi(width, dpi), outer, SWP_NOMOVE | SWP_NOZORDER);
    // A frame drawn for another DPI than the window's (a system that scales the frame with the
    // system's DPI alone) would take the client area's height: the client keeps the height meant.
    using Adjust = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
    Adjust adjust = user32Function<Adjust>("AdjustWindowRectExForDpi");
    RECT meant = {0, 0, 0, 0}, drawn, client;
    if (!adjust || !adjust(&meant, static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE)), static_cast<UINT>(dpi))) {
        return outer;
    }
    GetWindowRect(window, &drawn);
    GetClientRect(window, &client);
    int frameError = (drawn.bottom - drawn.top - client.bottom) - (meant.bottom - meant.top);
    if (frameError != 0) {
        SetWindowPos(window, nullptr, 0, 0, scaleForDpi(width, dpi), outer + frameError,
                     SWP_NOMOVE | SWP_NOZORDER);
    }
    return outer + frameError;
}

RECT workAreaOf(HWND window) {
    MONITORINFO monitor;
    std::memset(&monitor, 0, sizeof monitor);
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) return monitor.rcWork;
    RECT work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    return work;
}

// The whole window stays on its screen's work area when it fits; a window taller or wider than the
// work area starts at its top or left edge, caption first.
static void keepInWorkArea(HWND window, int x, int y) {
    RECT outer;
    GetWindowRect(window, &outer);
    RECT work = workAreaOf(window);
    int width = outer.right - outer.left;
    int height = outer.bottom - outer.top;
    if (x + width > work.right) x = work.right - width;
    if (x < work.left) x = work.left;
    if (y + height > work.bottom) y = work.bottom - height;
    if (y < work.top) y = work.top;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void placeWindow(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    int x = (GetSystemMetrics(SM_CXSCREEN) - client.right) / 2;
    int y = (GetSystemMetrics(SM_CYMAXIMIZED) - client.bottom) / 2 - 26;
    keepInWorkArea(window, x, y);
}

void keepWindowInWorkArea(HWND window) {
    RECT outer;
    GetWindowRect(window, &outer);
    keepInWorkArea(window, outer.left, outer.top);
}

int defaultFontHeight(int dpi) {
    LOGFONTW font;
    std::memset(&font, 0, sizeof font);
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
    // The stock font is made for the system's DPI; its size in points is what every DPI keeps.
    return MulDiv(MulDiv(font.lfHeight, USER_DEFAULT_SCREEN_DPI, systemDpi()), dpi, USER_DEFAULT_SCREEN_DPI);
}

HFONT makeFont(const wchar_t* face, int height, int weight, int underline, int italic) {
    LOGFONTW font;
    std::memset(&font, 0, sizeof font);
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
    std::swprintf(font.lfFaceName, LF_FACESIZE, L"%ls", face);
    font.lfHeight = height;
    font.lfWeight = weight;
    font.lfUnderline = underline ? TRUE : FALSE;
    font.lfItalic = italic ? TRUE : FALSE;
    return CreateFontIndirectW(&font);
}

HICON loadIconAtSize(HINSTANCE instance, int iconId, int size) {
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(iconId), IMAGE_ICON, size, size, 0));
}

// ---- Message boxes ----

static int buttonsOf(UINT type, int* ids) {
    static const int sets[7][3] = {
        {IDOK, 0, 0},     {IDOK, IDCANCEL, 0},    {IDABORT, IDRETRY, IDIGNORE},      {IDYES, IDNO, IDCANCEL},
        {IDYES, IDNO, 0}, {IDRETRY, IDCANCEL, 0}, {IDCANCEL, IDTRYAGAIN, IDCONTINUE}};
    UINT set = type & MB_TYPEMASK;
    if (set > 6) set = 0;
    int count = 0;
    for (int i = 0; i < 3; i++) {
        if (sets[set][i]) ids[count++] = sets[set][i];
    }
    return count;
}

static const char* iconName(UINT type) {
    switch (type & MB_ICONMASK) {
    case MB_ICONERROR:
        return "error";
    case MB_ICONQUESTION:
        return "question";
    case MB_ICONWARNING:
        return "warning";
    case MB_ICONINFORMATION:
        return "information";
    default:
        return "none";
    }
}

static std::string escapedField(const wchar_t* text) {
    std::string out;
    for (char c : wideToUtf8(text ? text : L"")) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// The answer for the n-th logged box from VEDO_MESSAGE_ANSWER, or 0 when the list has no n-th id.
static int listedAnswer(int n) {
    const char* list = std::getenv("VEDO_MESSAGE_ANSWER");
    if (!list) return 0;
    for (int i = 0; *list; i++) {
        char* end = nullptr;
        long id = std::strtol(list, &end, 10);
        if (end == list) return 0;
        if (i == n) return static_cast<int>(id);
        list = end;
        while (*list == ',' || *list == ' ')
            list++;
    }
    return 0;
}

static std::mutex messageLogMutex;
static std::atomic<int> loggedBoxes{0};

// The box in the message log instead of on the screen (see showMessageBox); 0 when no log is asked
// for, otherwise the answer. renamedIds and renamedTexts hold up to three renamed buttons.
static int loggedMessageBox(const wchar_t* text, const wchar_t* caption, UINT type, const int* renamedIds,
                            const wchar_t* const* renamedTexts) {
    const wchar_t* log = _wgetenv(L"VEDO_MESSAGE_LOG");
    if (!log || !*log) return 0;
    int ids[3] = {0, 0, 0};
    int count = buttonsOf(type, ids);
    int answer = listedAnswer(loggedBoxes.fetch_add(1));
    if (answer == 0) {
        for (int wanted : {IDCANCEL, IDOK, IDNO}) {
            for (int i = 0; i < count && answer == 0; i++) {
                if (ids[i] == wanted) answer = wanted;
            }
            if (answer) break;
        }
        if (answer == 0) answer = ids[0];
    }
    std::string line =
        wideToUtf8(caption ? caption : L"") + "\t" + iconName(type) + "\t" + escapedField(text) + "\t";
    for (int i = 0; i < count; i++) {
        if (i > 0) line += ",";
        line += std::to_string(ids[i]);
        for (int r = 0; r < 3 && renamedTexts && renamedTexts[r]; r++) {
            if (renamedIds[r] == ids[i]) line += "=" + escapedField(renamedTexts[r]);
        }
    }
    line += "\t" + std::to_string(answer) + "\n";
    std::lock_guard<std::mutex> lock(messageLogMutex);
    if (FILE* f = _wfopen(log, L"ab")) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
    return answer;
}

int showMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
    if (int answer = loggedMessageBox(text, caption, type, nullptr, nullptr)) return answer;
    return MessageBoxW(owner, text, caption, type);
}

// The pending renaming of the next message box of this thread.
struct ButtonRenaming {
    HHOOK hook;
    int ids[3];
    const wchar_t* texts[3];
};
static thread_local ButtonRenaming buttonRenaming;

static LRESULT CALLBACK renameButtonsHook(int code, WPARAM wParam, LPARAM lParam) {
    HHOOK hook = buttonRenaming.hook;
    wchar_t className[16] = {0};
    if (code == HCBT_ACTIVATE && GetClassNameW(reinterpret_cast<HWND>(wParam), className, 16) &&
        std::wcscmp(className, L"#32770") == 0) {
        HWND box = reinterpret_cast<HWND>(wParam);
        for (int i = 0; i < 3 && buttonRenaming.texts[i]; i++) {
            SetDlgItemTextW(box, buttonRenaming.ids[i], buttonRenaming.texts[i]);
        }
        buttonRenaming.hook = nullptr;
        UnhookWindowsHookEx(hook);
    }
    // Hooks further down the chain (a test's recorder, for one) still see the renamed box.
    CallNextHookEx(hook, code, wParam, lParam);
    return 0;
}

int messageBoxWithButtons(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type, int id1,
                          const wchar_t* text1, int id2, const wchar_t* text2, int id3,
                          const wchar_t* text3) {
    buttonRenaming.ids[0] = id1;
    buttonRenaming.texts[0] = text1;
    buttonRenaming.ids[1] = id2;
    buttonRenaming.texts[1] = text1 ? text2 : nullptr;
    buttonRenaming.ids[2] = id3;
    buttonRenaming.texts[2] = (text1 && text2) ? text3 : nullptr;
    if (int answer = loggedMessageBox(text, caption, type, buttonRenaming.ids, buttonRenaming.texts))
        return answer;
    buttonRenaming.hook = SetWindowsHookExW(WH_CBT, renameButtonsHook, nullptr, GetCurrentThreadId());
    int result = MessageBoxW(owner, text, caption, type);
    if (buttonRenaming.hook) {
        UnhookWindowsHookEx(buttonRenaming.hook);
        buttonRenaming.hook = nullptr;
    }
    return result;
}
