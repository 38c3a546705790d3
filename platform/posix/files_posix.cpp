#include "platform/files.h"

#include "core/charset.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// File names on Linux are UTF-8; the engine holds GB18030.
static std::string nativePath(const char* path) {
    size_t n = std::strlen(path);
    std::string out(n * 2 + 1, '\0');
    int produced = 0;
    if (convertCharset("GB18030", "UTF-8", path, static_cast<int>(n), &out[0], static_cast<int>(out.size()),
                       &produced) < 0) {
        return std::string(path);
    }
    out.resize(static_cast<size_t>(produced));
    return out;
}

static std::string enginePath(const char* native) {
    size_t n = std::strlen(native);
    std::string out(n * 2 + 1, '\0');
    int produced = 0;
    if (convertCharset("UTF-8", "GB18030", native, static_cast<int>(n), &out[0], static_cast<int>(out.size()),
                       &produced) < 0) {
        return std::string(native);
    }
    out.resize(static_cast<size_t>(produced));
    return out;
}

FILE* openFile(const char* path, const char* mode) { return std::fopen(nativePath(path).c_str(), mode); }

int removeFile(const char* path) { return std::remove(nativePath(path).c_str()) == 0 ? 1 : 0; }

int replaceFile(const char* from, const char* to) {
    return std::rename(nativePath(from).c_str(), nativePath(to).c_str()) == 0 ? 1 : 0;
}

int makeDirectory(const char* path) { return mkdir(nativePath(path).c_str(), 0777) == 0 ? 1 : 0; }

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

int specialFolderPath(int, char*) { return 0; }

void localTimeNow(struct tm* out) {
    time_t now = time(nullptr);
    localtime_r(&now, out);
}
