// The fatal-failure message of a run (the reader's or the writer's failure, shown by their caller), on
// whichever window side is linked.
#include "migration/jobwindow.h"

#include "core/charset.h"

void windowFatalError(const char* text) {
    windowShowMessage(text, programText("错误"), ICON_ERROR);
    windowEndProcess(0);
}
