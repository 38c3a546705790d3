// The folder of the program file, cut at the last path separator.
#include "core/appdir.h"

#include <cstdio>
#include <cstring>

char appDir[PATH_BUFFER_SIZE];

void appDirFromProgramPath(const char* programPath, char* out, int size) {
    // snprintf rather than copyBounded: app.log lies in this folder and the allocator writes to it,
    // so the folder takes nothing from the text functions, which allocate.
    std::snprintf(out, static_cast<size_t>(size), "%s", programPath);
    char* last = std::strrchr(out, PATH_SEPARATOR);
    if (!last) return;
    if (last == out || (last > out && last[-1] == ':')) {
        last[1] = '\0';
    } else {
        *last = '\0';
    }
}

void initAppDir() {
    char path[PATH_BUFFER_SIZE] = {0};
    if (programFilePath(path, sizeof path)) {
        appDirFromProgramPath(path, appDir, sizeof appDir);
    } else if (!currentDirectory(appDir, sizeof appDir)) {
        appDir[0] = '\0';
    }
}
