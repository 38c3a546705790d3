// Image file names: extensions, title stems, numbered description names and mobile stamp names.
#include "migration/naming.h"

#include "migration/journal.h"

#include "core/text.h"
#include "package/item.h"
#include "platform/files.h"
#include "platform/gb18030.h"

#include <cstdio>
#include <cstring>
#include <ctime>

JobStartTime jobStartTime;
int32_t stampCounter = 1;

static const char* const RECOGNISED_EXTENSIONS[] = {"jpg", "jpeg", "png", "gif", "bmp"};

void extensionFromUrl(const char* url, char* out, int max) {
    if (!url || !out || max <= 0) return;
    const char* slash = std::strrchr(url, '/');
    if (!slash) return;
    const char* dot = std::strrchr(slash, '.');
    if (!dot) return;
    const char* start = dot + 1;
    // The extension ends at the query; without a query, at the fragment.
    const char* end = std::strchr(start, '?');
    if (!end) end = std::strchr(start, '#');
    if (!end) end = start + std::strlen(start);
    size_t length = static_cast<size_t>(end - start);
    if (length > static_cast<size_t>(max)) length = static_cast<size_t>(max);
    std::memcpy(out, start, length);
    out[length] = '\0';
}

const char* chooseImageExtension(const char* url) {
    char ext[EXTENSION_MAX_LENGTH + 1] = {0};
    extensionFromUrl(url, ext, EXTENSION_MAX_LENGTH);
    if (ext[0] == '\0') return "jpg";
    for (char* c = ext; *c; c++) {
        if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c - 'A' + 'a');
    }
    for (const char* known : RECOGNISED_EXTENSIONS) {
        if (std::strcmp(ext, known) == 0) return known;
    }
    // Thumbnail suffixes such as "png_310x310" keep the image type in front.
    if (std::strstr(ext, "jpg") || std::strstr(ext, "jpeg")) return "jpg";
    if (std::strstr(ext, "png")) return "png";
    if (std::strstr(ext, "gif")) return "gif";
    if (std::strstr(ext, "bmp")) return "bmp";
    return "jpg";
}

static int isForbiddenInFileName(unsigned char c) {
    // Control characters cannot stand in a name either (Windows refuses them).
    if (c < 0x20 || c == 0x7F) return 1;
    switch (c) {
    case '\\':
    case '/':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
    case ' ':
    case '\r':
    case '\n':
        return 1;
    default:
        return 0;
    }
}

// The length of the GB18030 character of two or four bytes that starts at the lead byte p[0]
// (0x81-0xFE): 2 with a second byte from 0x40 to 0x7E or 0x80 to 0xFE, 4 with a digit, a byte from
// 0x81 to 0xFE and a digit; 0 when the bytes begin neither. The terminator lies in none of the
// ranges, so a character cut short is 0 and nothing past the terminator is read.
static int multiByteLength(const unsigned char* p) {
    if ((p[1] >= 0x40 && p[1] <= 0x7E) || (p[1] >= 0x80 && p[1] <= 0xFE)) return 2;
    if (p[1] >= 0x30 && p[1] <= 0x39 && p[2] >= 0x81 && p[2] <= 0xFE && p[3] >= 0x30 && p[3] <= 0x39)
        return 4;
    return 0;
}

void titleFileStem(const char* title, char* stem) {
    copyBounded(stem, ITEM_TITLE_SIZE, title ? title : "");
    // The title is walked by whole characters. The later bytes of a two- or four-byte character
    // are part of it (a second byte may equal '\\' or '|') and stay as they are; a character of
    // one byte is judged on its own. A lead byte that begins no whole character becomes '-' as
    // well: left in the name, a converter could take it together with the bytes after it.
    unsigned char* p = reinterpret_cast<unsigned char*>(stem);
    while (*p) {
        if (*p < 0x81 || *p == 0xFF) {
            if (isForbiddenInFileName(*p)) *p = '-';
            p++;
            continue;
        }
        const int n = multiByteLength(p);
        if (n == 0) {
            *p++ = '-';
        } else if (n == 4 && isGb18030SurrogateCode(p)) {
            // An unpaired surrogate: one '-' in place of its four bytes.
            *p++ = '-';
            std::memmove(p, p + 3, std::strlen(reinterpret_cast<char*>(p + 3)) + 1);
        } else {
            p += n;
        }
    }
}

// Formats into a zeroed path buffer; 0 when the result does not fit (the buffer is left empty).
static int formatPath(char* path, int written) {
    if (written < 0 || written >= PATH_BUFFER_SIZE) {
        std::memset(path, 0, PATH_BUFFER_SIZE);
        return 0;
    }
    return 1;
}

int numberedImagePath(const char* folder, const char* stem, int* number, const char* ext, char* path) {
    int candidate = *number;
    for (;;) {
        std::memset(path, 0, PATH_BUFFER_SIZE);
        int written = candidate <= 9 ? std::snprintf(path, PATH_BUFFER_SIZE, "%s%c%s#0%d.%s", folder,
                                                     PATH_SEPARATOR, stem, candidate, ext)
                                     : std::snprintf(path, PATH_BUFFER_SIZE, "%s%c%s#%d.%s", folder,
                                                     PATH_SEPARATOR, stem, candidate, ext);
        // A refused path leaves the number as it was.
        if (!formatPath(path, written)) return 0;
        candidate++;
        if (!fileExists(path)) break;
    }
    *number = candidate;
    return 1;
}

int stampImagePath(const char* folder, const char* ext, char* path) {
    for (;;) {
        char stamp[80];
        std::snprintf(stamp, sizeof stamp, "%d-%d-%d-%d-%d-%d", jobStartTime.year, jobStartTime.month,
                      jobStartTime.day, jobStartTime.hour, jobStartTime.minute, stampCounter);
        // Wraps instead of overflowing; four billion names into one run never happen.
        stampCounter = static_cast<int32_t>(static_cast<uint32_t>(stampCounter) + 1u);
        std::memset(path, 0, PATH_BUFFER_SIZE);
        int written = std::snprintf(path, PATH_BUFFER_SIZE, "%s%c%s.%s", folder, PATH_SEPARATOR, stamp, ext);
        if (!formatPath(path, written)) return 0;
        if (!fileExists(path)) return 1;
    }
}

int formatNumberedImagePath(const char* folder, const char* stem, int number, const char* ext, char* path) {
    std::memset(path, 0, PATH_BUFFER_SIZE);
    int written = number <= 9 ? std::snprintf(path, PATH_BUFFER_SIZE, "%s%c%s#0%d.%s", folder, PATH_SEPARATOR,
                                              stem, number, ext)
                              : std::snprintf(path, PATH_BUFFER_SIZE, "%s%c%s#%d.%s", folder, PATH_SEPARATOR,
                                              stem, number, ext);
    return formatPath(path, written);
}

int placeNumberedImage(const char* folder, const char* stem, int* number, const char* ext, const char* from,
                       char* path, RunJournal* journal, const char* address, long long size) {
    for (int candidate = *number; candidate < INT32_MAX; candidate++) {
        if (!formatNumberedImagePath(folder, stem, candidate, ext, path)) return 0;
        // The record is written only for a name that is free a moment before the move.
        if (nameTaken(path)) continue;
        if (journal) journalImage(journal, address, path, size);
        int moved = moveToNewName(from, path);
        if (moved == NEW_FILE_CREATED) {
            *number = candidate + 1;
            return 1;
        }
        // A name that another run took meanwhile is passed over for the next number.
        if (moved == NEW_FILE_FAILED) break;
    }
    std::memset(path, 0, PATH_BUFFER_SIZE);
    return 0;
}

int placeStampImage(const char* folder, const char* ext, const char* from, char* path, RunJournal* journal,
                    const char* address, long long size) {
    for (;;) {
        if (!stampImagePath(folder, ext, path)) return 0;
        if (journal) journalImage(journal, address, path, size);
        int moved = moveToNewName(from, path);
        if (moved == NEW_FILE_CREATED) return 1;
        if (moved == NEW_FILE_FAILED) {
            std::memset(path, 0, PATH_BUFFER_SIZE);
            return 0;
        }
    }
}

int imageFolderHasRoom(const char* folder) {
    return std::strlen(folder) + STAMP_NAME_ROOM <= static_cast<size_t>(PATH_BUFFER_SIZE) ? 1 : 0;
}

void takeJobStartTime() {
    struct tm now;
    std::memset(&now, 0, sizeof now);
    localTimeNow(&now);
    jobStartTime.year = now.tm_year + 1900;
    jobStartTime.month = now.tm_mon + 1;
    jobStartTime.day = now.tm_mday;
    jobStartTime.hour = now.tm_hour;
    jobStartTime.minute = now.tm_min;
}
