// The recording window side of the tests.
#include "fakewindow.h"

#include "core/text.h"
#include "migration/downloadqueue.h"

#include <algorithm>
#include <cstring>

FakeWindow fakeWindow;

void resetFakeWindow() {
    std::lock_guard<std::mutex> lock(fakeWindow.mutex);
    std::memset(&fakeWindow.options, 0, sizeof fakeWindow.options);
    fakeWindow.options.migrateImageSpace = 1;
    fakeWindow.options.migrateThirdParty = 1;
    fakeWindow.options.connections = DEFAULT_CONNECTIONS;
    fakeWindow.rows.clear();
    fakeWindow.selectedRows.clear();
    fakeWindow.visibleRequests.clear();
    fakeWindow.progressPositions.clear();
    fakeWindow.progressTexts.clear();
    fakeWindow.messages.clear();
    fakeWindow.selectionNotifications = 0;
    fakeWindow.buttonsRestored = 0;
}

void windowReadOptions(JobOptions* options) {
    std::lock_guard<std::mutex> lock(fakeWindow.mutex);
    *options = fakeWindow.options;
}

void windowEnsureRowVisible(int row) {
    std::lock_guard<std::mutex> lock(fakeWindow.mutex);
    fakeWindow.visibleRequests.push_back(row);
}

void windowSetRowText(int row, int column, const char* text) {
    std::lock_guard<std::mutex> lock(fakeWindow.mutex);
    if (row < 0 || column < 0 || column > 3) return;
    if (fakeWindow.rows.size() <= static_cast<size_t>(row))
        fakeWindow.rows.resize(static_cast<size_t>(row) + 1);
    auto& cells = fakeWindow.rows[static_cast<size_t>(row)];
    if (cells.size() < 4) cells.resize(4);
    cells[static_cast<size_t>(column)] = text;
}

int windowIsRowSelected(int row) {
    std::lock_guard<std::mutex> lock(fakeWindow.mutex);
    return std::find(fakeWindow.selectedRows.begin(), fakeWindow.selectedRows.end(), row) !=
                   fakeWindow.selectedRows.end()
               ? 1
               : 0;
}

void windowNotifySelectionChanged() {
    std::lock_guard<std::mutex> lock(fakeWindow.mutex);
    fakeWindow.selectionNotifications++;
}

void windowSetProgressPos(int position) {
    std::lock_guard<std::mutex> lock(fakeWindow.mutex);
    fakeWindow.progressPositions.push_back(position);
}

void windowSetProgressText(const char* text) {
    std::lock_guard<std::mutex> lock(fakeWindow.mutex);
    fakeWindow.progressTexts.push_back(text);
}

void windowShowMessage(const char* text, const char* caption, int icon) {
    std::lock_guard<std::mutex> lock(fakeWindow.mutex);
    fakeWindow.messages.push_back({text, caption, icon});
}

void windowRestoreButtons() {
    std::lock_guard<std::mutex> lock(fakeWindow.mutex);
    fakeWindow.buttonsRestored++;
}

void windowEndProcess(int status) {
    throw ProcessEnded{status};
}
