// The window's side of the job-to-window functions. The job calls them from its own thread; each
// is a synchronous window message that the main thread carries out, so the job never touches a
// control's data directly. Message boxes run on the calling thread, owned by the main window.
#include "migration/jobwindow.h"

#include "core/text.h"
#include "migration/downloadqueue.h"
#include "ui/mainwindow.h"
#include "ui/shell.h"
#include "ui/wintext.h"

#include <commctrl.h>

#include <cstring>

void windowReadOptions(JobOptions* options) {
    std::memset(options, 0, sizeof *options);
    options->migrateImageSpace = IsDlgButtonChecked(controls.page2, IDC_MOVE_IMAGE_SPACE) == BST_CHECKED;
    options->migrateThirdParty = IsDlgButtonChecked(controls.page2, IDC_MOVE_THIRD_PARTY) == BST_CHECKED;
    options->blankFailedImages = IsDlgButtonChecked(controls.page2, IDC_BLANK_FAILED) == BST_CHECKED;
    // The wizard offers no choice of the connection count.
    options->connections = DEFAULT_CONNECTIONS;
    options->secureMode = IsDlgButtonChecked(controls.page2, IDC_MOVE_HTTPS) == BST_CHECKED;
    copyEngineText(options->destFolder, sizeof options->destFolder, controlEngineText(controls.destFolder));
}

void windowEnsureRowVisible(int row) {
    SendMessageW(controls.list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), TRUE);
}

void windowSetRowText(int row, int column, const char* text) {
    std::wstring wide = engineToWide(text);
    LVITEMW cell;
    std::memset(&cell, 0, sizeof cell);
    cell.iSubItem = column;
    cell.pszText = const_cast<wchar_t*>(wide.c_str());
    SendMessageW(controls.list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&cell));
}

int windowIsRowSelected(int row) {
    return SendMessageW(controls.list, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_SELECTED) ==
           LVIS_SELECTED;
}

void windowNotifySelectionChanged() {
    NMHDR header;
    std::memset(&header, 0, sizeof header);
    header.hwndFrom = controls.list;
    header.code = LVN_ITEMCHANGED;
    SendMessageW(controls.window, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&header));
}

void windowSetProgressPos(int position) {
    SendMessageW(controls.progress, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void windowSetProgressText(const char* text) {
    setControlEngineText(controls.progressText, text);
}

void windowShowMessage(const char* text, const char* caption, int icon) {
    showMessageBox(controls.window, engineToWide(text).c_str(), engineToWide(caption).c_str(),
                   static_cast<UINT>(icon) | MB_OK);
}

void windowRestoreButtons() {
    EnableWindow(controls.back, TRUE);
    EnableMenuItem(GetSystemMenu(controls.window, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_ENABLED);
    EnableWindow(controls.close, TRUE);
}

void windowEndProcess(int status) {
    ExitProcess(static_cast<UINT>(status));
}
