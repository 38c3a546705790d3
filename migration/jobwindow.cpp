// The fatal-error message that the reader and the writer show, on whichever window side is linked.
#include "migration/jobwindow.h"

#include "core/charset.h"

void windowFatalError(const char* text) {
    windowShowMessage(text, programText("错误"), ICON_ERROR);
    windowEndProcess(0);
}
