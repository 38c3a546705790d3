// Small functions on engine strings and paths: tokens, replacement, prefixes, bounded copies.
#include "core/text.h"

#include "core/allocate.h"
#include "core/scope.h"
#include "platform/files.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

char* nextToken(char** cursor, const char* delimiters) {
    if (!cursor || !*cursor) return nullptr;
    char* token = *cursor;
    char* p = token + std::strcspn(token, delimiters);
    if (*p) {
        *p = '\0';
        *cursor = p + 1;
    } else {
        *cursor = nullptr;
    }
    return token;
}

char* replaceAll(const char* text, const char* pattern, const char* replacement) {
    if (!text || !*text || !pattern || !*pattern || !replacement) return nullptr;
    size_t textLength = std::strlen(text);
    size_t patternLength = std::strlen(pattern);
    size_t replacementLength = std::strlen(replacement);

    size_t capacity = 256;
    size_t found = 0;
    HeapPointer<size_t> offsets(static_cast<size_t*>(allocateBytes(capacity * sizeof(size_t))));
    for (const char* hit = std::strstr(text, pattern); hit; hit = std::strstr(hit + patternLength, pattern)) {
        if (found == capacity) {
            size_t* grown =
                static_cast<size_t*>(reallocateBytes(offsets.get(), capacity * 2 * sizeof(size_t)));
            offsets.release();
            offsets.reset(grown);
            capacity *= 2;
        }
        offsets.get()[found++] = static_cast<size_t>(hit - text);
    }
    if (found == 0) return nullptr;
    size_t resultLength = textLength - found * patternLength + found * replacementLength;
    char* result = static_cast<char*>(allocateBytes(resultLength + 1));
    char* out = result;
    size_t from = 0;
    for (size_t i = 0; i < found; i++) {
        size_t at = offsets.get()[i];
        std::memcpy(out, text + from, at - from);
        out += at - from;
        std::memcpy(out, replacement, replacementLength);
        out += replacementLength;
        from = at + patternLength;
    }
    std::memcpy(out, text + from, textLength - from);
    out += textLength - from;
    *out = '\0';
    return result;
}

int startsWith(const char* text, const char* prefix) {
    size_t n = std::strlen(prefix);
    return std::strncmp(text, prefix, n) == 0 ? 1 : 0;
}

static int lowerByte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

int equalIgnoreCase(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (lowerByte(static_cast<unsigned char>(a[i])) != lowerByte(static_cast<unsigned char>(b[i])))
            return 0;
    }
    return 1;
}

int startsWithIgnoreCase(const char* text, const char* prefix) {
    size_t n = std::strlen(prefix);
    if (std::strlen(text) < n) return 0;
    return equalIgnoreCase(text, prefix, n);
}

int endsWithIgnoreCase(const char* text, const char* suffix) {
    size_t textLength = std::strlen(text);
    size_t suffixLength = std::strlen(suffix);
    if (suffixLength > textLength) return 0;
    return equalIgnoreCase(text + textLength - suffixLength, suffix, suffixLength);
}

const char* fileNameOf(const char* path) {
    const char* last = std::strrchr(path, PATH_SEPARATOR);
    return last ? last + 1 : path;
}

int copyBounded(char* dest, size_t size, const char* text) {
    if (size == 0) return 0;
    size_t n = std::strlen(text);
    if (n < size) {
        std::memcpy(dest, text, n + 1);
        return 1;
    }
    std::memcpy(dest, text, size - 1);
    dest[size - 1] = '\0';
    return 0;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
