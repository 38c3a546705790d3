// The window side for fuzz targets: messages are counted and dropped, and ending the process
// throws FuzzProcessEnded so that a target can tell a fatal error from a crash.
#pragma once
#include "migration/jobwindow.h"

#include <string>

struct FuzzProcessEnded {
    int status;
};

// Messages shown since the last resetFuzzWindow, and the icon of the last one.
extern int fuzzMessageCount;
extern int fuzzLastIcon;
void resetFuzzWindow();

// A file path of this process's own in the temporary folder (ASCII, so also engine text), removed
// when the process exits.
std::string fuzzScratchFile(const char* name);

// Stops the fuzzer with a report when a property of the code under test does not hold.
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) fuzzCheckFailed(#condition, __FILE__, __LINE__);                                   \
    } while (0)
[[noreturn]] void fuzzCheckFailed(const char* condition, const char* file, int line);
