// The command-line window side: rows and progress recorded for the command that runs the job,
// messages on standard error in UTF-8, and the end of the process as an exit.
#include "cli/cliwindow.h"

#include "cli/commands.h"
#include "cli/json.h"
#include "core/allocate.h"
#include "core/text.h"
#include "migration/job.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

CliWindow cliWindow;

int cliExitStatus(int status) {
    return (status == 0 && cliWindow.errorShown.load()) ? 1 : status;
}

void cliWaitForJobEnd(int milliseconds) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (jobRunning.load() && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

const char* cliRowText(int row, int column) {
    std::lock_guard<std::mutex> lock(cliWindow.mutex);
    if (!cliWindow.rows || row < 0 || row >= cliWindow.rows->count || column < 0 || column > 3) return "";
    const CliRow* r = static_cast<const CliRow*>(cliWindow.rows->items[row]);
    return r ? r->cells[column] : "";
}

void windowReadOptions(JobOptions* options) {
    std::lock_guard<std::mutex> lock(cliWindow.mutex);
    *options = cliWindow.options;
}

void windowEnsureRowVisible(int row) {
    std::lock_guard<std::mutex> lock(cliWindow.mutex);
    cliWindow.visibleRow = row;
}

void windowSetRowText(int row, int column, const char* text) {
    if (row < 0 || column < 0 || column > 3 || !text) return;
    std::lock_guard<std::mutex> lock(cliWindow.mutex);
    if (!cliWindow.rows) cliWindow.rows = arrayListCreate(256, 256);
    while (cliWindow.rows->count <= row) {
        arrayListAdd(cliWindow.rows, allocateZeroed(sizeof(CliRow)));
    }
    CliRow* r = static_cast<CliRow*>(cliWindow.rows->items[row]);
    if (r) copyBounded(r->cells[column], CLI_CELL_SIZE, text);
}

// The command line has no selection.
int windowIsRowSelected(int) {
    return 0;
}

void windowNotifySelectionChanged() {}

void windowSetProgressPos(int position) {
    std::lock_guard<std::mutex> lock(cliWindow.mutex);
    cliWindow.progressPosition = position;
}

void windowSetProgressText(const char* text) {
    if (!text) return;
    std::lock_guard<std::mutex> lock(cliWindow.mutex);
    copyBounded(cliWindow.progressText, sizeof cliWindow.progressText, text);
    if (cliWindow.echoProgress) {
        writeUtf8Text(stderr, text);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
}

void windowShowMessage(const char* text, const char* caption, int icon) {
    if (icon == ICON_ERROR) cliWindow.errorShown.store(1);
    std::lock_guard<std::mutex> lock(cliWindow.mutex);
    copyBounded(cliWindow.lastMessage, sizeof cliWindow.lastMessage, text ? text : "");
    if (cliWindow.quietMessages && icon != ICON_ERROR) return;
    writeUtf8Text(stderr, caption ? caption : "");
    std::fputs(": ", stderr);
    writeUtf8Text(stderr, text ? text : "");
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void windowRestoreButtons() {
    std::lock_guard<std::mutex> lock(cliWindow.mutex);
    cliWindow.buttonsRestored++;
}

// The process ends at once, from whichever thread asks, as the window's does: nothing is torn
// down on the way out, only the output streams are flushed.
void windowEndProcess(int status) {
    status = migrateExitStatus(status);
    std::fflush(nullptr);
    std::_Exit(cliExitStatus(status));
}
