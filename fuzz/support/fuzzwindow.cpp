// The fuzz targets' window side (messages counted, the end of the process thrown), their scratch
// files and their property checks.
#include "support/fuzzwindow.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#ifdef _WIN32
#include <process.h>
#define getProcessId _getpid
#else
#include <unistd.h>
#define getProcessId getpid
#endif

int fuzzMessageCount;
int fuzzLastIcon;

void resetFuzzWindow() {
    fuzzMessageCount = 0;
    fuzzLastIcon = 0;
}

static std::mutex scratchMutex;
static std::vector<std::string>* scratchFiles;

static void removeScratchFiles() {
    if (!scratchFiles) return;
    for (const std::string& path : *scratchFiles)
        std::remove(path.c_str());
}

std::string fuzzScratchFile(const char* name) {
    const char* tmp = std::getenv("TMPDIR");
    char path[512];
    std::snprintf(path, sizeof path, "%s/vedo-fuzz-%ld-%s", tmp && *tmp ? tmp : "/tmp",
                  static_cast<long>(getProcessId()), name);
    std::lock_guard<std::mutex> lock(scratchMutex);
    if (!scratchFiles) {
        scratchFiles = new std::vector<std::string>();
        std::atexit(removeScratchFiles);
    }
    scratchFiles->push_back(path);
    return path;
}

void fuzzCheckFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

// Rows, progress and options come from the quiet window (tools/support/quietwindow.cpp).
void windowShowMessage(const char*, const char*, int icon) {
    fuzzMessageCount++;
    fuzzLastIcon = icon;
}
void windowEndProcess(int status) {
    throw FuzzProcessEnded{status};
}
