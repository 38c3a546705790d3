// Files, folders, the clock and the program's own path on Windows. Paths arrive as engine text and
// go to the W functions as UTF-16, so names outside the system's code page work too.
#include "platform/files.h"

#include "core/charset.h"

#include <windows.h>
#include <shlobj.h>
#include <io.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr int REPLACE_ATTEMPTS = 10;
constexpr DWORD REPLACE_PAUSE_MS = 100;

// Engine text to UTF-16; false when the text does not convert.
bool widePath(const char* path, std::wstring& wide) {
    if (!path) return false;
    size_t n = std::strlen(path);
    // Every engine character becomes at most as many bytes of UTF-16 as it has, plus the NUL.
    std::string bytes(n * 2 + 2, '\0');
    int produced = 0;
    if (convertCharset(engineCharset(), "UTF-16LE", path, static_cast<int>(n), &bytes[0],
                       static_cast<int>(bytes.size()), &produced) < 0) {
        return false;
    }
    wide.assign(reinterpret_cast<const wchar_t*>(bytes.data()), static_cast<size_t>(produced) / 2);
    return true;
}

// UTF-16 to engine text in the caller's buffer; 0 when it does not convert or does not fit.
int enginePath(const wchar_t* wide, char* buffer, int size) {
    if (size <= 0) return 0;
    size_t units = wcslen(wide);
    std::string bytes(units * 4 + 1, '\0');
    int produced = 0;
    if (convertCharset("UTF-16LE", engineCharset(), reinterpret_cast<const char*>(wide),
                       static_cast<int>(units * 2), &bytes[0], static_cast<int>(bytes.size()),
                       &produced) < 0) {
        return 0;
    }
    if (produced >= size) return 0;
    std::memcpy(buffer, bytes.data(), static_cast<size_t>(produced));
    buffer[produced] = '\0';
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
    return _wremove(wide.c_str()) == 0 ? 1 : 0;
}

int replaceFile(const char* from, const char* to) {
    std::wstring wideFrom, wideTo;
    if (!widePath(from, wideFrom) || !widePath(to, wideTo)) return 0;
    for (int attempt = 1;; attempt++) {
        if (MoveFileExW(wideFrom.c_str(), wideTo.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return 1;
        }
        if (attempt == REPLACE_ATTEMPTS || !isPassingFailure(GetLastError())) return 0;
        Sleep(REPLACE_PAUSE_MS);
    }
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

long long fileSize(const char* path) {
    if (isDirectory(path)) return -1;
    FILE* f = openFile(path, "rb");
    if (!f) return -1;
    long long size = -1;
    if (_fseeki64(f, 0, SEEK_END) == 0) size = _ftelli64(f);
    std::fclose(f);
    return size;
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
