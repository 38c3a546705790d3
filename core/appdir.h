// The folder that holds the program file. app.log, the backup folder and the other files that
// live beside the program are found through it.
#pragma once
#include "platform/files.h"

extern char appDir[PATH_BUFFER_SIZE];

// Cuts a program path at its last separator. A separator after a drive's colon, or a separator
// that is the first byte (the root on Linux), stays; a path without one stays whole.
void appDirFromProgramPath(const char* programPath, char* out, int size);

// Fills appDir from the program file's path, or from the current directory when that cannot be had.
void initAppDir();
