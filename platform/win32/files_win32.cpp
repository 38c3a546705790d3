// Files, folders, the clock and the program's own path on Windows. Paths arrive as engine text and
// go to the W functions as UTF-16, so names outside the system's code page work too.
#include "platform/files.h"

#include "platform/gb18030.h"

#include <windows.h>
#include <shlobj.h>
#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

// Engine text to UTF-16; false when the text does not convert.
bool widePath(const char* path, std::wstring& wide) {
    if (!path) return false;
    std::string bytes;
    if (convertCodecText(FORM_GB18030, FORM_UTF16LE, path, std::strlen(path), &bytes) < 0) return false;
    wide.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    return true;
}

// UTF-16 to engine text in the caller's buffer; 0 when it does not convert or does not fit.
int enginePath(const wchar_t* wide, char* buffer, int size) {
    if (size <= 0) return 0;
    std::string bytes;
    if (convertCodecText(FORM_UTF16LE, FORM_GB18030, reinterpret_cast<const char*>(wide), wcslen(wide) * 2,
                         &bytes) < 0) {
        return 0;
    }
    if (bytes.size() >= static_cast<size_t>(size)) return 0;
    std::memcpy(buffer, bytes.data(), bytes.size());
    buffer[bytes.size()] = '\0';
    return 1;
}

DWORD attributesOf(const char* path) {
    std::wstring wide;
    if (!widePath(path, wide)) return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesW(wide.c_str());
}

bool isPassingFailure(DWORD error) {
    // Another process (a virus scanner, an indexer, the spreadsheet that showed the file) holds
    // the file for a moment.
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

// The byte that a run's lock takes, far beyond the end of any file, so that reads and writes of the
// file go on while it is locked.
constexpr DWORD LOCK_OFFSET_HIGH = 0x7FFFFFFF;

// A scanner or an indexer opens each new file for a moment; a create, move, delete or replace that
// meets it is tried again with short pauses for about two seconds before it counts as failed.
constexpr int PASSING_ATTEMPTS = 40;
constexpr DWORD PASSING_PAUSE_MS = 50;

// Runs the step until it succeeds, fails otherwise than for a moment, or the attempts run out; the
// last error stays for the caller.
template <typename Step> bool retryPassingFailures(Step step) {
    for (int attempt = 1;; attempt++) {
        if (step()) return true;
        DWORD error = GetLastError();
        if (attempt >= PASSING_ATTEMPTS || !isPassingFailure(error)) return false;
        Sleep(PASSING_PAUSE_MS);
        SetLastError(error);
    }
}

struct ItemListRelease {
    void operator()(ITEMIDLIST* list) const { CoTaskMemFree(list); }
};

} // namespace

FILE* openFile(const char* path, const char* mode) {
    std::wstring wide;
    if (!widePath(path, wide) || !mode) return nullptr;
    wchar_t wideMode[16];
    size_t i = 0;
    for (; mode[i] && i < sizeof wideMode / sizeof wideMode[0] - 1; i++) {
        wideMode[i] = static_cast<unsigned char>(mode[i]);
    }
    if (mode[i]) return nullptr;
    wideMode[i] = L'\0';
    return _wfopen(wide.c_str(), wideMode);
}

int removeFile(const char* path) {
    std::wstring wide;
    if (!widePath(path, wide)) return 0;
    return retryPassingFailures([&] { return DeleteFileW(wide.c_str()) != 0; }) ? 1 : 0;
}

int replaceFile(const char* from, const char* to) {
    std::wstring wideFrom, wideTo;
    if (!widePath(from, wideFrom) || !widePath(to, wideTo)) return 0;
    return retryPassingFailures([&] {
        return MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    })
               ? 1
               : 0;
}

int makeDirectory(const char* path) {
    std::wstring wide;
    if (!widePath(path, wide)) return 0;
    return CreateDirectoryW(wide.c_str(), nullptr) ? 1 : 0;
}

int flushFileToDisk(FILE* file) {
    if (!file || std::fflush(file) != 0) return 0;
    intptr_t handle = _get_osfhandle(_fileno(file));
    if (handle == -1) return 0;
    return FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) ? 1 : 0;
}

int fileExists(const char* path) {
    DWORD attributes = attributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    FILE* f = openFile(path, "r");
    if (!f) return 0;
    std::fclose(f);
    return 1;
}

int isDirectory(const char* path) {
    DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

int isRegularFile(const char* path) {
    DWORD attributes = attributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))) {
        return 0;
    }
    std::wstring wide;
    if (!widePath(path, wide)) return 0;
    // Opened for its attributes alone: a device name (CON, NUL, COM1) or a pipe is no disk file.
    HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return 0;
    int regular = GetFileType(handle) == FILE_TYPE_DISK;
    CloseHandle(handle);
    return regular;
}

long long fileSize(const char* path) {
    if (isDirectory(path)) return -1;
    FILE* f = openFile(path, "rb");
    if (!f) return -1;
    long long size = -1;
    if (_fseeki64(f, 0, SEEK_END) == 0) size = _ftelli64(f);
    std::fclose(f);
    return size;
}

long long fileModifiedTime(const char* path) {
    std::wstring wide;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!widePath(path, wide) || !GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<long long>(
        (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
        data.ftLastWriteTime.dwLowDateTime);
}

int programFilePath(char* buffer, int size) {
    // Long enough for any path the system can hand out.
    std::wstring wide(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, &wide[0], static_cast<DWORD>(wide.size()));
    if (n == 0 || n >= wide.size()) return 0;
    wide.resize(n);
    return enginePath(wide.c_str(), buffer, size);
}

int currentDirectory(char* buffer, int size) {
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return 0;
    std::wstring wide(needed, L'\0');
    DWORD n = GetCurrentDirectoryW(needed, &wide[0]);
    if (n == 0 || n >= needed) return 0;
    wide.resize(n);
    return enginePath(wide.c_str(), buffer, size);
}

int specialFolderPath(int folderId, char* buffer) {
    ITEMIDLIST* raw = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, folderId, &raw)) || !raw) return 0;
    std::unique_ptr<ITEMIDLIST, ItemListRelease> list(raw);
    wchar_t wide[MAX_PATH + 1] = {0};
    if (!SHGetPathFromIDListW(list.get(), wide)) return 0;
    wide[MAX_PATH] = L'\0';
    return enginePath(wide, buffer, PATH_BUFFER_SIZE);
}

void localTimeNow(struct tm* out) {
    time_t now = time(nullptr);
    if (localtime_s(out, &now) != 0) std::memset(out, 0, sizeof *out);
}

int listFolder(const char* folder, std::vector<std::string>* names) {
    std::wstring wide;
    if (!widePath(folder, wide)) return 0;
    wide += L"\\*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do {
        if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0) continue;
        char name[PATH_BUFFER_SIZE] = {0};
        if (enginePath(found.cFileName, name, sizeof name)) names->push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return 1;
}

unsigned long currentProcessId() {
    return static_cast<unsigned long>(GetCurrentProcessId());
}

long long processStartStamp() {
    static const long long stamp = static_cast<long long>(time(nullptr));
    return stamp;
}

int processIsAlive(unsigned long processId) {
    if (processId == 0) return 0;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(processId));
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER ? 0 : 1;
    DWORD state = WaitForSingleObject(process, 0);
    CloseHandle(process);
    return state == WAIT_OBJECT_0 ? 0 : 1;
}

// Creates a file under a free name only, with the passing failures of a scanner retried.
// CREATE_NEW never opens what stands under the name, a link included; a name that something
// stands under is taken at once, whatever the error. Gives the handle, or INVALID_HANDLE_VALUE with
// the last error set (ERROR_FILE_EXISTS for a taken name).
static HANDLE createUnderFreeName(const std::wstring& wide, DWORD access) {
    HANDLE file = INVALID_HANDLE_VALUE;
    retryPassingFailures([&] {
        file =
            CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file != INVALID_HANDLE_VALUE) return true;
        DWORD error = GetLastError();
        if (GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES) error = ERROR_FILE_EXISTS;
        SetLastError(error);
        return false;
    });
    return file;
}

int createNewFile(const char* path) {
    std::wstring wide;
    if (!widePath(path, wide)) return NEW_FILE_FAILED;
    HANDLE file = createUnderFreeName(wide, GENERIC_WRITE);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return NEW_FILE_CREATED;
    }
    DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return NEW_FILE_NAME_TAKEN;
    if (GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES) return NEW_FILE_NAME_TAKEN;
    return NEW_FILE_FAILED;
}

int createLockedFile(const char* path, FileLock* lock) {
    lock->handle = -1;
    std::wstring wide;
    if (!widePath(path, wide)) return NEW_FILE_FAILED;
    HANDLE file = createUnderFreeName(wide, GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return NEW_FILE_NAME_TAKEN;
        return NEW_FILE_FAILED;
    }
    OVERLAPPED at;
    std::memset(&at, 0, sizeof at);
    at.OffsetHigh = LOCK_OFFSET_HIGH;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        CloseHandle(file);
        DeleteFileW(wide.c_str());
        return NEW_FILE_FAILED;
    }
    lock->handle = static_cast<long long>(reinterpret_cast<intptr_t>(file));
    return NEW_FILE_CREATED;
}

int nameTaken(const char* path) {
    std::wstring wide;
    return widePath(path, wide) && GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

long long lockedFileSize(const FileLock* lock) {
    LARGE_INTEGER size;
    if (lock->handle == -1 ||
        !GetFileSizeEx(reinterpret_cast<HANDLE>(static_cast<intptr_t>(lock->handle)), &size))
        return -1;
    return static_cast<long long>(size.QuadPart);
}

int moveToNewName(const char* from, const char* to) {
    std::wstring source;
    std::wstring target;
    if (!widePath(from, source) || !widePath(to, target)) return NEW_FILE_FAILED;
    // Without MOVEFILE_REPLACE_EXISTING nothing under the target name is replaced. A source held
    // for a moment is waited for; a target name that something stands under is taken at once.
    if (retryPassingFailures([&] {
            if (MoveFileExW(source.c_str(), target.c_str(), 0)) return true;
            DWORD error = GetLastError();
            if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) error = ERROR_FILE_EXISTS;
            SetLastError(error);
            return false;
        })) {
        return NEW_FILE_CREATED;
    }
    DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return NEW_FILE_NAME_TAKEN;
    if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) return NEW_FILE_NAME_TAKEN;
    return NEW_FILE_FAILED;
}

FILE* openFileForWritingNoFollow(const char* path) {
    std::wstring wide;
    if (!widePath(path, wide)) return nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    retryPassingFailures([&] {
        file = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        return file != INVALID_HANDLE_VALUE;
    });
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    // The handle of a link is the link itself: never write into it.
    if (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !SetEndOfFile(file)) {
        CloseHandle(file);
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        return nullptr;
    }
    FILE* stream = _fdopen(fd, "wb");
    if (!stream) _close(fd);
    return stream;
}

namespace {

HANDLE openForLock(const std::wstring& wide) {
    // Every kind of sharing: the reader, the backup and the replacement of the file go on while
    // the lock is held.
    return CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool identityOf(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
    return GetFileInformationByHandle(file, info) != 0;
}

bool sameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// The locked byte lies far beyond the end of any package, so that reading the file under the
// lock is never refused.
constexpr int LOCK_ATTEMPTS = 20;

// Strips the \\?\ prefix that GetFinalPathNameByHandleW puts in front of the path.
std::wstring withoutLongPrefix(const std::wstring& path) {
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + path.substr(7);
    if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
    return path;
}

} // namespace

int linkTargetPath(const char* path, char* buffer, int size) {
    std::wstring wide;
    if (!widePath(path, wide)) return 0;
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (static_cast<int>(std::strlen(path)) >= size) return 0;
        std::memcpy(buffer, path, std::strlen(path) + 1);
        return 1;
    }
    HANDLE file = openForLock(wide);
    if (file == INVALID_HANDLE_VALUE) return 0;
    std::wstring target(32768, L'\0');
    DWORD n =
        GetFinalPathNameByHandleW(file, &target[0], static_cast<DWORD>(target.size()), FILE_NAME_NORMALIZED);
    CloseHandle(file);
    if (n == 0 || n >= target.size()) return 0;
    target.resize(n);
    return enginePath(withoutLongPrefix(target).c_str(), buffer, size);
}

int absolutePath(const char* path, char* buffer, int size) {
    std::wstring wide;
    if (!path || !path[0] || !widePath(path, wide)) return 0;
    // The full path of the current drive and folder, with every "/" turned into a backslash.
    DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return 0;
    std::wstring full(needed, L'\0');
    DWORD n = GetFullPathNameW(wide.c_str(), needed, &full[0], nullptr);
    if (n == 0 || n >= needed) return 0;
    full.resize(n);
    return enginePath(full.c_str(), buffer, size);
}

int isWritableFile(const char* path) {
    std::wstring wide;
    if (!widePath(path, wide)) return 0;
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    // A folder's read-only mark only asks Explorer for its customised view; whether files can be
    // made in it shows when one is made.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return 1;
    if (attributes & FILE_ATTRIBUTE_READONLY) return 0;
    // The file's access list may forbid writing too.
    HANDLE file =
        CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION ? 1 : 0;
    CloseHandle(file);
    return 1;
}

int copyPermissions(const char* from, const char* to) {
    std::wstring wideFrom, wideTo;
    if (!widePath(from, wideFrom) || !widePath(to, wideTo)) return 0;
    DWORD attributes = GetFileAttributesW(wideFrom.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    // Hidden and system marks go along; the new file inherits its access list from the folder.
    DWORD kept =
        attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    return SetFileAttributesW(wideTo.c_str(), kept ? kept : FILE_ATTRIBUTE_NORMAL) ? 1 : 0;
}

int lockFile(const char* path, FileLock* lock) {
    lock->handle = -1;
    std::wstring wide;
    if (!widePath(path, wide)) return LOCK_FAILED;
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; attempt++) {
        HANDLE file = openForLock(wide);
        if (file == INVALID_HANDLE_VALUE) return LOCK_FAILED;
        OVERLAPPED at;
        std::memset(&at, 0, sizeof at);
        at.OffsetHigh = LOCK_OFFSET_HIGH;
        if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            DWORD error = GetLastError();
            CloseHandle(file);
            return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? LOCK_BUSY : LOCK_FAILED;
        }
        BY_HANDLE_FILE_INFORMATION locked, current;
        HANDLE again = openForLock(wide);
        bool same = again != INVALID_HANDLE_VALUE && identityOf(file, &locked) &&
                    identityOf(again, &current) && sameFile(locked, current);
        if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
        if (same) {
            lock->handle = static_cast<long long>(reinterpret_cast<intptr_t>(file));
            return LOCK_TAKEN;
        }
        // The run that held the file replaced it meanwhile: its new file is the one to lock.
        CloseHandle(file);
    }
    return LOCK_BUSY;
}

void unlockFile(FileLock* lock) {
    if (lock->handle == -1) return;
    // Closing the handle releases its lock.
    CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(lock->handle)));
    lock->handle = -1;
}

// FILE_RENAME_INFO with its flags (FileRenameInfoEx), which older headers lack.
namespace {
struct RenameInformation {
    DWORD flags;
    HANDLE rootDirectory;
    DWORD fileNameLength;
    WCHAR fileName[1];
};
constexpr DWORD RENAME_REPLACE_IF_EXISTS = 0x1;
constexpr DWORD RENAME_POSIX_SEMANTICS = 0x2;
constexpr int FILE_RENAME_INFO_EX_CLASS = 22;

} // namespace

// Renames the file over `to` through a handle of its own while `to` is still open (the package's
// lock): systems with POSIX rename semantics (Windows 10 1809 and later, on NTFS) allow it. Tried
// once: where the system refuses it, the caller replaces the package the older way.
static bool renameOverOpenFile(const std::wstring& from, const std::wstring& to) {
    HANDLE file = CreateFileW(from.c_str(), DELETE | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    size_t size = sizeof(RenameInformation) + to.size() * sizeof(WCHAR);
    std::string buffer(size, '\0');
    RenameInformation* info = reinterpret_cast<RenameInformation*>(&buffer[0]);
    info->flags = RENAME_REPLACE_IF_EXISTS | RENAME_POSIX_SEMANTICS;
    info->rootDirectory = nullptr;
    info->fileNameLength = static_cast<DWORD>(to.size() * sizeof(WCHAR));
    std::memcpy(info->fileName, to.c_str(), to.size() * sizeof(WCHAR));
    bool renamed =
        SetFileInformationByHandle(file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(FILE_RENAME_INFO_EX_CLASS),
                                   info, static_cast<DWORD>(size)) != 0;
    CloseHandle(file);
    return renamed;
}

int replaceLockedFile(const char* from, const char* to, FileLock* toLock) {
    std::wstring wideFrom, wideTo;
    if (!widePath(from, wideFrom) || !widePath(to, wideTo)) return 0;
    // Where the system allows it the package is replaced while its lock is still held, so that no
    // other run finds it unlocked in between.
    if (renameOverOpenFile(wideFrom, wideTo)) {
        unlockFile(toLock);
        return 1;
    }
    // Elsewhere the system refuses to rename over a file that is still open, even by its own
    // process: the old file's handle goes first. The new file is already locked by the caller.
    unlockFile(toLock);
    return replaceFile(from, to);
}
