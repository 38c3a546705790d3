#include "migration/jobwindow.h"

void windowFatalError(const char* text) {
    windowShowMessage(text, "错误", ICON_ERROR);
    windowEndProcess(0);
}
