// Files, folders, the clock and the program's own path. Paths are engine text (GB18030); each
// platform converts them at the boundary (UTF-16 on Windows, UTF-8 on Linux).
#pragma once
#include <cstdio>
#include <ctime>

#ifdef _WIN32
constexpr char PATH_SEPARATOR = '\\';
#else
constexpr char PATH_SEPARATOR = '/';
#endif

// The Windows path limit; every path buffer of the program has this size.
constexpr int PATH_BUFFER_SIZE = 260;

FILE* openFile(const char* path, const char* mode);
int removeFile(const char* path);
// Replaces `to` by `from` in one step; returns 1 on success.
int replaceFile(const char* from, const char* to);
int makeDirectory(const char* path);
// Pushes a written stream to the disk; returns 1 on success.
int flushFileToDisk(FILE* file);

int fileExists(const char* path);
int isDirectory(const char* path);
long long fileSize(const char* path);

// The program file's full path; returns 0 when it cannot be had or does not fit.
int programFilePath(char* buffer, int size);
int currentDirectory(char* buffer, int size);

// The desktop folder's path when the platform has one; returns 0 otherwise.
int specialFolderPath(int folderId, char* buffer);
constexpr int CSIDL_DESKTOP_FOLDER = 0;

void localTimeNow(struct tm* out);
