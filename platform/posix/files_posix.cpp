// Files, folders, the clock and the program's own path on Linux; paths become UTF-8 at the boundary.
#include "platform/files.h"

#include "platform/gb18030.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// File names on Linux are UTF-8; the engine holds GB18030. A path that does not convert is used
// as it is.
static std::string convertedPath(CodecForm from, CodecForm to, const char* path) {
    std::string out;
    if (convertCodecText(from, to, path, std::strlen(path), &out) < 0) return std::string(path);
    return out;
}

static std::string nativePath(const char* path) {
    return convertedPath(FORM_GB18030, FORM_UTF8, path);
}

static std::string enginePath(const char* native) {
    return convertedPath(FORM_UTF8, FORM_GB18030, native);
}

FILE* openFile(const char* path, const char* mode) {
    return std::fopen(nativePath(path).c_str(), mode);
}

int removeFile(const char* path) {
    return std::remove(nativePath(path).c_str()) == 0 ? 1 : 0;
}

int replaceFile(const char* from, const char* to) {
    return std::rename(nativePath(from).c_str(), nativePath(to).c_str()) == 0 ? 1 : 0;
}

int makeDirectory(const char* path) {
    return mkdir(nativePath(path).c_str(), 0777) == 0 ? 1 : 0;
}

int flushFileToDisk(FILE* file) {
    if (std::fflush(file) != 0) return 0;
    return fsync(fileno(file)) == 0 ? 1 : 0;
}

int fileExists(const char* path) {
    std::string native = nativePath(path);
    struct stat st;
    // A path that cannot be looked up cannot be opened either; a folder is not a file.
    if (stat(native.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return 0;
    FILE* f = std::fopen(native.c_str(), "r");
    if (!f) return 0;
    std::fclose(f);
    return 1;
}

int isDirectory(const char* path) {
    struct stat st;
    if (stat(nativePath(path).c_str(), &st) != 0) return 0;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

int isRegularFile(const char* path) {
    struct stat st;
    if (!path || stat(nativePath(path).c_str(), &st) != 0) return 0;
    return S_ISREG(st.st_mode) ? 1 : 0;
}

long long fileSize(const char* path) {
    // glibc opens a folder for reading, and its end lies far beyond any file's.
    if (isDirectory(path)) return -1;
    FILE* f = std::fopen(nativePath(path).c_str(), "r");
    if (!f) return -1;
    long long size = -1;
    if (fseeko(f, 0, SEEK_END) == 0) size = static_cast<long long>(ftello(f));
    std::fclose(f);
    return size;
}

long long fileModifiedTime(const char* path) {
    struct stat st;
    if (stat(nativePath(path).c_str(), &st) != 0) return -1;
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000ll + st.st_mtim.tv_nsec;
}

static int copyOut(const std::string& text, char* buffer, int size) {
    if (size <= 0 || text.size() >= static_cast<size_t>(size)) return 0;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return 1;
}

int programFilePath(char* buffer, int size) {
    char native[4096];
    ssize_t n = readlink("/proc/self/exe", native, sizeof native - 1);
    if (n <= 0) return 0;
    native[n] = '\0';
    return copyOut(enginePath(native), buffer, size);
}

int currentDirectory(char* buffer, int size) {
    char native[4096];
    if (!getcwd(native, sizeof native)) return 0;
    return copyOut(enginePath(native), buffer, size);
}

int specialFolderPath(int, char*) {
    return 0;
}

void localTimeNow(struct tm* out) {
    time_t now = time(nullptr);
    localtime_r(&now, out);
}

int listFolder(const char* folder, std::vector<std::string>* names) {
    DIR* dir = opendir(nativePath(folder).c_str());
    if (!dir) return 0;
    while (struct dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        names->push_back(enginePath(entry->d_name));
    }
    closedir(dir);
    return 1;
}

unsigned long currentProcessId() {
    return static_cast<unsigned long>(getpid());
}

long long processStartStamp() {
    static const long long stamp = static_cast<long long>(time(nullptr));
    return stamp;
}

int processIsAlive(unsigned long processId) {
    if (processId == 0 || processId > static_cast<unsigned long>(INT32_MAX)) return 0;
    return kill(static_cast<pid_t>(processId), 0) == 0 || errno != ESRCH ? 1 : 0;
}

int createNewFile(const char* path) {
    std::string native = nativePath(path);
    int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
        close(fd);
        return NEW_FILE_CREATED;
    }
    if (errno == EEXIST) return NEW_FILE_NAME_TAKEN;
    // A name under a folder that is a file or a link to nowhere: taken too, when something stands
    // under it.
    struct stat st;
    if (lstat(native.c_str(), &st) == 0) return NEW_FILE_NAME_TAKEN;
    return NEW_FILE_FAILED;
}

int createLockedFile(const char* path, FileLock* lock) {
    lock->handle = -1;
    std::string native = nativePath(path);
    int fd = open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        struct stat st;
        if (errno == EEXIST || lstat(native.c_str(), &st) == 0) return NEW_FILE_NAME_TAKEN;
        return NEW_FILE_FAILED;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        unlink(native.c_str());
        return NEW_FILE_FAILED;
    }
    lock->handle = fd;
    return NEW_FILE_CREATED;
}

int nameTaken(const char* path) {
    struct stat st;
    return lstat(nativePath(path).c_str(), &st) == 0 ? 1 : 0;
}

// What stands under a name that could not be created or moved to: a name with anything under it
// is taken, any other failure is one.
static int nameTakenOrFailed(const std::string& native) {
    struct stat st;
    if (lstat(native.c_str(), &st) == 0) return NEW_FILE_NAME_TAKEN;
    return NEW_FILE_FAILED;
}

int moveToNewName(const char* from, const char* to) {
    std::string source = nativePath(from);
    std::string target = nativePath(to);
    if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        return NEW_FILE_CREATED;
    }
    if (errno == EEXIST) return NEW_FILE_NAME_TAKEN;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return nameTakenOrFailed(target);
    // A file system without a no-replace rename: a hard link never replaces either.
    if (link(source.c_str(), target.c_str()) != 0) {
        return errno == EEXIST ? NEW_FILE_NAME_TAKEN : nameTakenOrFailed(target);
    }
    unlink(source.c_str());
    return NEW_FILE_CREATED;
}

FILE* openFileForWritingNoFollow(const char* path) {
    int fd = open(nativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, "wb");
    if (!file) close(fd);
    return file;
}

int linkTargetPath(const char* path, char* buffer, int size) {
    std::string native = nativePath(path);
    struct stat st;
    if (lstat(native.c_str(), &st) != 0) return 0;
    if (!S_ISLNK(st.st_mode)) return copyOut(std::string(path), buffer, size);
    char* resolved = realpath(native.c_str(), nullptr);
    if (!resolved) return 0;
    std::string target = enginePath(resolved);
    std::free(resolved);
    return copyOut(target, buffer, size);
}

int absolutePath(const char* path, char* buffer, int size) {
    if (!path || !path[0]) return 0;
    if (path[0] == '/') return copyOut(std::string(path), buffer, size);
    char here[4096];
    if (!currentDirectory(here, sizeof here)) return 0;
    const char* rest = path;
    while (rest[0] == '.' && rest[1] == '/') {
        rest += 2;
        while (*rest == '/')
            rest++;
    }
    std::string joined(here);
    if (std::strcmp(rest, ".") == 0) rest = "";
    if (rest[0]) {
        if (joined.empty() || joined.back() != '/') joined += '/';
        joined += rest;
    }
    return copyOut(joined, buffer, size);
}

int isWritableFile(const char* path) {
    std::string native = nativePath(path);
    struct stat st;
    if (stat(native.c_str(), &st) != 0) return 0;
    // The superuser may write anything; a file marked read-only for everyone stays read-only.
    if ((st.st_mode & 0222) == 0) return 0;
    return access(native.c_str(), W_OK) == 0 ? 1 : 0;
}

int copyPermissions(const char* from, const char* to) {
    struct stat st;
    std::string nativeTo = nativePath(to);
    if (stat(nativePath(from).c_str(), &st) != 0) return 0;
    // The owner can only be given by the superuser; anyone else owns what they write.
    if (geteuid() == 0 && chown(nativeTo.c_str(), st.st_uid, st.st_gid) != 0) return 0;
    return chmod(nativeTo.c_str(), st.st_mode & 07777) == 0 ? 1 : 0;
}

static int sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

constexpr int LOCK_ATTEMPTS = 20;

int lockFile(const char* path, FileLock* lock) {
    lock->handle = -1;
    std::string native = nativePath(path);
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; attempt++) {
        int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return LOCK_FAILED;
        // A lock of the open file itself (not of the process), so that closing another descriptor
        // of the same file, as the backup does, never releases it.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int busy = errno == EWOULDBLOCK;
            close(fd);
            return busy ? LOCK_BUSY : LOCK_FAILED;
        }
        struct stat locked, current;
        if (fstat(fd, &locked) == 0 && stat(native.c_str(), &current) == 0 && sameFile(locked, current)) {
            lock->handle = fd;
            return LOCK_TAKEN;
        }
        // The run that held the file replaced it meanwhile: its new file is the one to lock.
        close(fd);
    }
    return LOCK_BUSY;
}

void unlockFile(FileLock* lock) {
    if (lock->handle < 0) return;
    close(static_cast<int>(lock->handle));
    lock->handle = -1;
}

long long lockedFileSize(const FileLock* lock) {
    struct stat st;
    if (lock->handle < 0 || fstat(static_cast<int>(lock->handle), &st) != 0) return -1;
    return static_cast<long long>(st.st_size);
}

int replaceLockedFile(const char* from, const char* to, FileLock* toLock) {
    // The old file keeps its lock until the new one stands under the name, so that no other run
    // finds the name unlocked in between.
    int replaced = replaceFile(from, to);
    unlockFile(toLock);
    return replaced;
}
