// Files, folders, the clock and the program's own path. Paths are engine text (GB18030); each
// platform converts them at the boundary (UTF-16 on Windows, UTF-8 on Linux).
#pragma once
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

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
// 1 when the path leads (through symbolic links) to a regular file: not a folder, a device, a pipe
// or a socket, whose opening or reading may block or never end. Nothing is opened for reading.
int isRegularFile(const char* path);
// The file's last modification, in the platform's finest unit; -1 when it cannot be had.
long long fileModifiedTime(const char* path);

// The program file's full path; returns 0 when it cannot be had or does not fit.
int programFilePath(char* buffer, int size);
int currentDirectory(char* buffer, int size);

// The desktop folder's path when the platform has one; returns 0 otherwise.
int specialFolderPath(int folderId, char* buffer);
constexpr int CSIDL_DESKTOP_FOLDER = 0;

void localTimeNow(struct tm* out);

// The names of a folder's entries (without "." and ".."), added to `names`; 0 when the folder
// cannot be read.
int listFolder(const char* folder, std::vector<std::string>* names);
// The identity of this run of the program: the process id and the time (seconds) it first asked.
unsigned long currentProcessId();
long long processStartStamp();
// 1 while a process of the id runs (or may run: when it cannot be told, it is taken as running).
int processIsAlive(unsigned long processId);

// Creating a file under a name nobody has taken yet. Anything under the name, a file, a folder or
// a symbolic link (even one that points nowhere), makes the name taken: nothing is written
// through it.
enum NewFileResult {
    NEW_FILE_CREATED = 1,
    NEW_FILE_NAME_TAKEN = 0,
    NEW_FILE_FAILED = -1, // the name is free but cannot be created (folder, length, characters)
};
int createNewFile(const char* path);
// The same, and the new file is locked for the run (as lockFile does) until unlockFile.
int createLockedFile(const char* path, struct FileLock* lock);
// 1 when anything stands under the name: a file, a folder, a link (even one to nowhere).
int nameTaken(const char* path);
// Moves the file at `from` under a name nobody has taken yet, in the same folder or on the same
// volume, with the same meaning of "taken" as createNewFile and the same results: whatever stands
// under the name is never replaced, and `from` stays where it was unless NEW_FILE_CREATED.
int moveToNewName(const char* from, const char* to);
// Opens a file for writing from its start, creating it when missing, as fopen "wb" does, but never
// through a symbolic link: a link under the name makes the open fail.
FILE* openFileForWritingNoFollow(const char* path);

// The file a symbolic link leads to, into a buffer of `size` bytes; a path that is no link is
// copied as it is. Returns 0 when the target cannot be found or does not fit.
int linkTargetPath(const char* path, char* buffer, int size);
// The path made absolute (from the current directory) and written with the platform's separators.
// Returns 0 when it cannot be formed or does not fit.
int absolutePath(const char* path, char* buffer, int size);
// 1 when the user may write the file (or make files in the folder) and its permissions do not
// mark it read-only, whoever the user is.
int isWritableFile(const char* path);
// Gives the new file `to` the permission bits (and, where the platform allows it, the owner) of
// `from`; returns 1 on success.
int copyPermissions(const char* from, const char* to);

// An exclusive lock on a file, held by one run of the program against every other run, in this
// process or another. The lock belongs to the file, not to its name: replacing the file by
// renaming another over it leaves the lock on the old file.
struct FileLock {
    long long handle; // -1 when no lock is held
};
enum LockResult {
    LOCK_TAKEN = 1,
    LOCK_BUSY = 0,    // another run holds the file
    LOCK_FAILED = -1, // the file cannot be opened
};
// Locks the file at the path without waiting. Makes sure that the locked file is still the one at
// the path, so that a file replaced meanwhile is never taken for the current one.
int lockFile(const char* path, FileLock* lock);
void unlockFile(FileLock* lock);
// The size of the locked file; -1 when it cannot be had.
long long lockedFileSize(const FileLock* lock);
// Replaces `to` by `from` in one step while `toLock` holds `to`. The lock on the old file is
// released, at the latest once the replacement has been made.
int replaceLockedFile(const char* from, const char* to, FileLock* toLock);
