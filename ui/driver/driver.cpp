// Drives a running vedo.exe from outside, for the screenshot script: finds the main window and
// its controls, sets box texts, presses buttons, reads and selects list rows (through memory of
// the program's own process, as the list view's messages need), and waits for states and message
// boxes. One command per run; a failed wait exits with status 1.
//
//   vedo-driver wait-window [SECONDS]
//   vedo-driver set-text ID TEXT            the text of the control with that id
//   vedo-driver click ID
//   vedo-driver wait-enabled ID [SECONDS]
//   vedo-driver wait-visible ID [SECONDS]
//   vedo-driver wait-cell ROW COLUMN TEXT [SECONDS]
//   vedo-driver wait-box [SECONDS]          prints the box's text
//   vedo-driver answer-box BUTTON_ID
//   vedo-driver select-failed-row           selects the first row with a failure count
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

constexpr const wchar_t* MAIN_CLASS = L"CodeBlocksWindowsApp";

HWND mainWindow() {
    return FindWindowW(MAIN_CLASS, nullptr);
}

struct Search {
    int id;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK findChild(HWND child, LPARAM lParam) {
    Search* search = reinterpret_cast<Search*>(lParam);
    if (search->className) {
        wchar_t name[64] = {0};
        GetClassNameW(child, name, 64);
        if (_wcsicmp(name, search->className) == 0) {
            search->found = child;
            return FALSE;
        }
    } else if (GetDlgCtrlID(child) == search->id) {
        search->found = child;
        return FALSE;
    }
    return TRUE;
}

HWND control(int id) {
    Search search = {id, nullptr, nullptr};
    EnumChildWindows(mainWindow(), findChild, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND listView() {
    Search search = {0, L"SysListView32", nullptr};
    EnumChildWindows(mainWindow(), findChild, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

template <typename Condition> bool waitFor(Condition condition, double seconds) {
    DWORD end = GetTickCount() + static_cast<DWORD>(seconds * 1000);
    while (!condition()) {
        if (static_cast<LONG>(GetTickCount() - end) >= 0) return false;
        Sleep(50);
    }
    return true;
}

// A block of memory in the program's process, for list-view messages that carry pointers.
struct RemoteBlock {
    HANDLE process = nullptr;
    void* address = nullptr;
    explicit RemoteBlock(HWND window, size_t size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process) address = VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
    }
    ~RemoteBlock() {
        if (address) VirtualFreeEx(process, address, 0, MEM_RELEASE);
        if (process) CloseHandle(process);
    }
    RemoteBlock(const RemoteBlock&) = delete;
    RemoteBlock& operator=(const RemoteBlock&) = delete;
};

std::wstring cellText(HWND list, int row, int column) {
    constexpr size_t TEXT_UNITS = 512;
    RemoteBlock block(list, sizeof(LVITEMW) + TEXT_UNITS * sizeof(wchar_t));
    if (!block.address) return std::wstring();
    auto* remoteText = reinterpret_cast<wchar_t*>(static_cast<char*>(block.address) + sizeof(LVITEMW));
    LVITEMW item;
    std::memset(&item, 0, sizeof item);
    item.iSubItem = column;
    item.pszText = remoteText;
    item.cchTextMax = TEXT_UNITS;
    WriteProcessMemory(block.process, block.address, &item, sizeof item, nullptr);
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(block.address));
    wchar_t text[TEXT_UNITS] = {0};
    ReadProcessMemory(block.process, remoteText, text, sizeof text - sizeof(wchar_t), nullptr);
    return text;
}

void selectRow(HWND list, int row) {
    RemoteBlock block(list, sizeof(LVITEMW));
    if (!block.address) return;
    LVITEMW item;
    std::memset(&item, 0, sizeof item);
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    WriteProcessMemory(block.process, block.address, &item, sizeof item, nullptr);
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(block.address));
    SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE);
}

struct BoxSearch {
    DWORD process;
    HWND found;
};

BOOL CALLBACK findBox(HWND window, LPARAM lParam) {
    BoxSearch* search = reinterpret_cast<BoxSearch*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t name[16] = {0};
    GetClassNameW(window, name, 16);
    if (pid == search->process && std::wcscmp(name, L"#32770") == 0 && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND messageBox() {
    BoxSearch search = {0, nullptr};
    GetWindowThreadProcessId(mainWindow(), &search.process);
    EnumWindows(findBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void printUtf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    std::printf("%s\n", out.c_str());
}

int usage() {
    std::fprintf(stderr, "usage: vedo-driver COMMAND [ARGUMENTS] (see the source for the commands)\n");
    return 2;
}

double secondsArgument(int argc, wchar_t** argv, int at, double fallback) {
    return argc > at ? std::wcstod(argv[at], nullptr) : fallback;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return usage();
    std::wstring command = argv[1];
    if (command == L"wait-window") {
        return waitFor([] { return mainWindow() && IsWindowVisible(mainWindow()); },
                       secondsArgument(argc, argv, 2, 30))
                   ? 0
                   : 1;
    }
    if (!mainWindow()) {
        std::fprintf(stderr, "vedo-driver: no main window\n");
        return 1;
    }
    if (command == L"set-text" && argc >= 4) {
        HWND target = control(_wtoi(argv[2]));
        return target && SendMessageW(target, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[3])) ? 0 : 1;
    }
    if (command == L"click" && argc >= 3) {
        HWND target = control(_wtoi(argv[2]));
        if (!target) return 1;
        PostMessageW(GetParent(target), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(target), BN_CLICKED),
                     reinterpret_cast<LPARAM>(target));
        return 0;
    }
    if (command == L"wait-enabled" && argc >= 3) {
        HWND target = control(_wtoi(argv[2]));
        return target && waitFor([&] { return IsWindowEnabled(target) != 0; },
                                 secondsArgument(argc, argv, 3, 30))
                   ? 0
                   : 1;
    }
    if (command == L"wait-visible" && argc >= 3) {
        HWND target = control(_wtoi(argv[2]));
        return target && waitFor([&] { return IsWindowVisible(target) != 0; },
                                 secondsArgument(argc, argv, 3, 30))
                   ? 0
                   : 1;
    }
    if (command == L"wait-cell" && argc >= 5) {
        HWND list = listView();
        int row = _wtoi(argv[2]);
        int column = _wtoi(argv[3]);
        std::wstring expected = argv[4];
        return list && waitFor([&] { return cellText(list, row, column) == expected; },
                               secondsArgument(argc, argv, 5, 60))
                   ? 0
                   : 1;
    }
    if (command == L"wait-box") {
        if (!waitFor([] { return messageBox() != nullptr; }, secondsArgument(argc, argv, 2, 60))) return 1;
        HWND text = GetDlgItem(messageBox(), 0xFFFF);
        wchar_t buffer[4096] = {0};
        if (text) GetWindowTextW(text, buffer, 4096);
        printUtf8(buffer);
        return 0;
    }
    if (command == L"answer-box" && argc >= 3) {
        HWND box = messageBox();
        if (!box) return 1;
        int id = _wtoi(argv[2]);
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
        return waitFor([] { return messageBox() == nullptr; }, 10) ? 0 : 1;
    }
    if (command == L"select-failed-row") {
        HWND list = listView();
        if (!list) return 1;
        int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
        for (int row = 0; row < count; row++) {
            if (!cellText(list, row, 2).empty() || !cellText(list, row, 3).empty()) {
                selectRow(list, row);
                std::printf("%d\n", row);
                return 0;
            }
        }
        return 1;
    }
    return usage();
}
