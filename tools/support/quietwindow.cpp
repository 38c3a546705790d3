// The window side of programs that show nothing (the fuzz targets, the reader benchmark): rows
// and progress are dropped and the options are the defaults. Each program that links it shows
// messages and ends the process its own way (windowShowMessage, windowEndProcess).
#include "migration/jobwindow.h"

#include <cstring>

void windowReadOptions(JobOptions* options) {
    std::memset(options, 0, sizeof *options);
    options->migrateImageSpace = 1;
    options->migrateThirdParty = 1;
}
void windowEnsureRowVisible(int) {}
void windowSetRowText(int, int, const char*) {}
int windowIsRowSelected(int) {
    return 0;
}
void windowNotifySelectionChanged() {}
void windowSetProgressPos(int) {}
void windowSetProgressText(const char*) {}
void windowRestoreButtons() {}
