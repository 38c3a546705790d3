// A stand-in for a virus scanner or an indexer: opens every new file of a folder the moment it
// appears, without delete sharing, and holds it for a while, so that a rename or a delete of it
// meanwhile fails with a sharing violation. Runs until the stop file exists (or two minutes pass).
//
//   scan-hold FOLDER MILLISECONDS STOPFILE
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>

#include <set>
#include <string>
#include <vector>

namespace {

struct Held {
    HANDLE file;
    ULONGLONG until;
};

std::wstring wideOf(const char* text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], n);
    wide.resize(wide.size() - 1);
    return wide;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: scan-hold FOLDER MILLISECONDS STOPFILE\n");
        return 2;
    }
    std::wstring folder = wideOf(argv[1]);
    ULONGLONG holdFor = std::strtoull(argv[2], nullptr, 10);
    std::wstring stop = wideOf(argv[3]);
    // A name that appears (again) is a new file.
    std::set<std::wstring> seen;
    std::vector<Held> held;
    ULONGLONG end = GetTickCount64() + 120000;
    int holds = 0;
    while (GetTickCount64() < end && GetFileAttributesW(stop.c_str()) == INVALID_FILE_ATTRIBUTES) {
        WIN32_FIND_DATAW found;
        std::set<std::wstring> present;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
                std::wstring path = folder + L"\\" + found.cFileName;
                present.insert(path);
                if (seen.count(path)) continue;
                HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                if (file != INVALID_HANDLE_VALUE) {
                    held.push_back({file, GetTickCount64() + holdFor});
                    holds++;
                }
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        seen.swap(present);
        ULONGLONG now = GetTickCount64();
        for (size_t i = 0; i < held.size();) {
            if (held[i].until <= now) {
                CloseHandle(held[i].file);
                held[i] = held.back();
                held.pop_back();
            } else {
                i++;
            }
        }
        Sleep(2);
    }
    for (const Held& h : held)
        CloseHandle(h.file);
    std::printf("%d\n", holds);
    return 0;
}
#else
int main() {
    std::fprintf(stderr, "scan-hold: Windows only\n");
    return 2;
}
#endif
