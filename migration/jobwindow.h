// Between the engine and whoever shows it. The migration job, the reader and the writer reach
// their window only through these functions. The wizard window (ui/), the command-line front end
// (cli/) and the tests (a recording fake) each implement them; the program links exactly one.
#pragma once
#include "platform/files.h"

// Message-box icons; the values are those of the Windows message box.
constexpr int ICON_ERROR = 0x10;
constexpr int ICON_QUESTION = 0x20;
constexpr int ICON_WARNING = 0x30;
constexpr int ICON_INFORMATION = 0x40;

// List-view columns that the job writes.
constexpr int COLUMN_TITLE = 0;
constexpr int COLUMN_STATUS = 1;
constexpr int COLUMN_DESC_FAILURES = 2;
constexpr int COLUMN_MOBILE_FAILURES = 3;

struct JobOptions {
    int migrateImageSpace;
    int migrateThirdParty;
    int blankFailedImages;
    // How many downloads the run keeps in flight, at most one connection each (1 to
    // MAX_CONNECTIONS, migration/downloadqueue.h). With 1 the job thread moves every image itself,
    // one after the other.
    int connections;
    // Secure mode: https and protocol-relative (//host/...) image addresses are collected as well,
    // fetched over TLS and rewritten as written. Off, the run is the plain http one. The package the
    // run works on was read (or completed by includeUncollectedImages) in the same mode.
    int secureMode;
    char destFolder[PATH_BUFFER_SIZE];
};

// The run's settings: the check boxes, the destination folder box, the connection count.
void windowReadOptions(JobOptions* options);
void windowEnsureRowVisible(int row);
void windowSetRowText(int row, int column, const char* text);
int windowIsRowSelected(int row);
// Tells the window that the selected row's item changed (its failed addresses may be shown now).
void windowNotifySelectionChanged();
void windowSetProgressPos(int position);
void windowSetProgressText(const char* text);
// A message box owned by the main window; blocks until it is answered.
void windowShowMessage(const char* text, const char* caption, int icon);
// Enables 上一步, 关闭 and the system menu's Close item again at the end of a run.
void windowRestoreButtons();
// Ends the process. The window exits with the status given; other front ends may map it.
[[noreturn]] void windowEndProcess(int status);

// A fatal failure that the reader or the writer returned (lastReadFailure, lastWriteFailure),
// shown by their caller: the message with caption "错误" and the error icon, then the end of the
// process with status 0.
[[noreturn]] void windowFatalError(const char* text);
