// Charset conversion on Windows through the system's own tables (MultiByteToWideChar and
// WideCharToMultiByte), with UTF-16 handled directly; GB18030, the engine's own text, never comes
// here (convertCharset gives it to the engine's codec). It keeps the contract of the iconv side:
// unknown names fail before the output is touched, the output is zero-filled, characters that
// cannot be decoded or that the target cannot hold are dropped, a truncated last character or an
// output buffer that is too small fails the conversion after writing the whole characters that fit.
#include "platform/charset.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

enum CharsetKind { UTF16_WITH_MARK, UTF16_LITTLE, UTF16_BIG, CODE_PAGE };

struct Charset {
    CharsetKind kind;
    UINT codePage;
};

constexpr UINT CODE_PAGE_GBK = 936;
constexpr UINT CODE_PAGE_UTF8 = 65001;

// Text is converted in pieces of about this many bytes or UTF-16 units, so that one undecodable
// byte or one character the target lacks only slows down its own piece.
constexpr size_t PIECE = 4096;

// Charset names match in any letter case ("utf-8" and "UTF-8").
bool sameName(const char* a, const char* b) {
    return _stricmp(a, b) == 0;
}

int lookupCharset(const char* name, Charset* out) {
    if (!name) return 0;
    if (sameName(name, "UTF-16") || sameName(name, "UCS-2")) {
        *out = {UTF16_WITH_MARK, 0};
    } else if (sameName(name, "UTF-16LE") || sameName(name, "UCS-2LE")) {
        *out = {UTF16_LITTLE, 0};
    } else if (sameName(name, "UTF-16BE") || sameName(name, "UCS-2BE")) {
        *out = {UTF16_BIG, 0};
    } else if (sameName(name, "GBK") || sameName(name, "CP936")) {
        *out = {CODE_PAGE, CODE_PAGE_GBK};
    } else if (sameName(name, "UTF-8") || sameName(name, "UTF8")) {
        *out = {CODE_PAGE, CODE_PAGE_UTF8};
    } else {
        return 0;
    }
    return 1;
}

bool isHighSurrogate(wchar_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(wchar_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Appends UTF-16 units, dropping surrogates that are not part of a pair. `pendingHigh` carries a
// high surrogate over to the next call.
void appendUnits(std::wstring& wide, const wchar_t* units, size_t count, wchar_t* pendingHigh) {
    for (size_t i = 0; i < count; i++) {
        wchar_t c = units[i];
        if (isHighSurrogate(c)) {
            *pendingHigh = c; // a high surrogate followed by another drops the first
        } else if (isLowSurrogate(c)) {
            if (*pendingHigh) {
                wide.push_back(*pendingHigh);
                wide.push_back(c);
            }
            *pendingHigh = 0;
        } else {
            *pendingHigh = 0;
            wide.push_back(c);
        }
    }
}

// Returns false when the input ends inside a character.
bool decodeUtf16(CharsetKind kind, const unsigned char* in, size_t n, std::wstring& wide) {
    bool little = kind == UTF16_LITTLE;
    size_t i = 0;
    if (kind == UTF16_WITH_MARK && n >= 2) {
        if (in[0] == 0xFF && in[1] == 0xFE) {
            little = true;
            i = 2;
        } else if (in[0] == 0xFE && in[1] == 0xFF) {
            i = 2;
        }
    }
    wide.reserve((n - i) / 2);
    wchar_t pendingHigh = 0;
    wchar_t block[PIECE];
    size_t filled = 0;
    for (; i + 1 < n; i += 2) {
        block[filled++] = static_cast<wchar_t>(little ? in[i] | (in[i + 1] << 8) : (in[i] << 8) | in[i + 1]);
        if (filled == PIECE) {
            appendUnits(wide, block, filled, &pendingHigh);
            filled = 0;
        }
    }
    appendUnits(wide, block, filled, &pendingHigh);
    // A high surrogate at the very end is a character cut short, as is an odd last byte.
    return i == n && pendingHigh == 0;
}

bool isContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// The length in bytes of the character that starts at `in`, from its first byte.
size_t characterLength(UINT codePage, const unsigned char* in) {
    unsigned char lead = in[0];
    if (codePage == CODE_PAGE_UTF8) {
        if (lead >= 0xC2 && lead <= 0xDF) return 2;
        if (lead >= 0xE0 && lead <= 0xEF) return 3;
        if (lead >= 0xF0 && lead <= 0xF4) return 4;
        return 1;
    }
    if (lead < 0x81 || lead == 0xFF) return 1;
    return 2;
}

// Whether the `left` bytes at `in` could be the start of one longer character.
bool isCutCharacter(UINT codePage, const unsigned char* in, size_t left) {
    if (codePage == CODE_PAGE_UTF8) {
        for (size_t k = 1; k < left; k++) {
            if (!isContinuation(in[k])) return false;
        }
        return true;
    }
    return left == 1;
}

bool decodeOne(UINT codePage, const unsigned char* in, size_t length, std::wstring& wide) {
    wchar_t units[4];
    int made = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(in),
                                   static_cast<int>(length), units, 4);
    if (made <= 0) return false;
    wchar_t pendingHigh = 0;
    appendUnits(wide, units, static_cast<size_t>(made), &pendingHigh);
    return true;
}

// Returns false when the input ends inside a character.
bool decodeCodePage(UINT codePage, const unsigned char* in, size_t n, std::wstring& wide) {
    wide.reserve(n);
    std::wstring piece;
    size_t i = 0;
    while (i < n) {
        // Gather whole characters into one piece and try it in one call.
        size_t end = i;
        bool cut = false;
        while (end < n && end - i < PIECE) {
            size_t length = characterLength(codePage, in + end);
            if (length > n - end) {
                cut = true;
                break;
            }
            end += length;
        }
        if (end > i) {
            int count = static_cast<int>(end - i);
            const char* from = reinterpret_cast<const char*>(in + i);
            int units = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, from, count, nullptr, 0);
            bool done = false;
            if (units > 0) {
                piece.resize(static_cast<size_t>(units));
                if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, from, count, &piece[0], units) ==
                    units) {
                    wchar_t pendingHigh = 0;
                    appendUnits(wide, piece.data(), piece.size(), &pendingHigh);
                    done = true;
                }
            }
            if (!done) {
                // Something in the piece does not decode: go character by character and skip
                // the bytes that do not form one.
                size_t k = i;
                while (k < end) {
                    size_t length = characterLength(codePage, in + k);
                    if (length <= end - k && decodeOne(codePage, in + k, length, wide)) {
                        k += length;
                    } else {
                        k += 1;
                    }
                }
            }
            i = end;
        }
        if (cut) {
            if (isCutCharacter(codePage, in + i, n - i)) return false;
            // Not the beginning of a longer character after all: drop its first byte and go on.
            i += 1;
        }
    }
    return true;
}

struct Output {
    unsigned char* bytes;
    size_t size;
    size_t used;
};

// Appends whole characters only; returns false when the character does not fit.
bool put(Output& out, const void* bytes, size_t length) {
    if (length > out.size - out.used) return false;
    std::memcpy(out.bytes + out.used, bytes, length);
    out.used += length;
    return true;
}

bool encodeUtf16(CharsetKind kind, const std::wstring& wide, Output& out) {
    bool little = kind != UTF16_BIG;
    if (kind == UTF16_WITH_MARK && !put(out, "\xFF\xFE", 2)) return false;
    for (size_t i = 0; i < wide.size();) {
        size_t units = isHighSurrogate(wide[i]) && i + 1 < wide.size() ? 2 : 1;
        unsigned char bytes[4];
        for (size_t k = 0; k < units; k++) {
            unsigned int c = wide[i + k];
            bytes[2 * k] = static_cast<unsigned char>(little ? c & 0xFF : c >> 8);
            bytes[2 * k + 1] = static_cast<unsigned char>(little ? c >> 8 : c & 0xFF);
        }
        if (!put(out, bytes, 2 * units)) return false;
        i += units;
    }
    return true;
}

// Converts `count` units; for GBK reports whether a character had no counterpart.
int encodeUnits(UINT codePage, const wchar_t* units, int count, char* buffer, int size, BOOL* missing) {
    *missing = FALSE;
    if (codePage == CODE_PAGE_GBK) {
        return WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, units, count, buffer, size, nullptr,
                                   missing);
    }
    // UTF-8 holds every character; this code page takes no default character.
    return WideCharToMultiByte(codePage, 0, units, count, buffer, size, nullptr, nullptr);
}

bool encodeCodePage(UINT codePage, const std::wstring& wide, Output& out) {
    std::string piece(PIECE * 4, '\0');
    for (size_t i = 0; i < wide.size();) {
        size_t end = i + PIECE < wide.size() ? i + PIECE : wide.size();
        if (end < wide.size() && isHighSurrogate(wide[end - 1])) end--; // keep pairs together
        BOOL missing = FALSE;
        int made = encodeUnits(codePage, wide.data() + i, static_cast<int>(end - i), &piece[0],
                               static_cast<int>(piece.size()), &missing);
        if (made > 0 && !missing && put(out, piece.data(), static_cast<size_t>(made))) {
            i = end;
            continue;
        }
        // A character without a counterpart, or not enough room: one character at a time.
        while (i < end) {
            size_t units = isHighSurrogate(wide[i]) && i + 1 < end ? 2 : 1;
            char bytes[16];
            int length = encodeUnits(codePage, wide.data() + i, static_cast<int>(units), bytes, sizeof bytes,
                                     &missing);
            if (length > 0 && !missing && !put(out, bytes, static_cast<size_t>(length))) return false;
            i += units;
        }
    }
    return true;
}

} // namespace

int convertPlatformCharset(const char* fromCharset, const char* toCharset, const char* input, int inputLength,
                           char* output, int outputSize, int* outputLength) {
    Charset from, to;
    if (!lookupCharset(fromCharset, &from) || !lookupCharset(toCharset, &to)) {
        std::puts("不支持的字符集");
        return -1;
    }
    if (outputSize > 0) std::memset(output, 0, static_cast<size_t>(outputSize));
    const unsigned char* in = reinterpret_cast<const unsigned char*>(input);
    size_t n = inputLength > 0 && input ? static_cast<size_t>(inputLength) : 0;

    std::wstring wide;
    bool whole = from.kind == CODE_PAGE ? decodeCodePage(from.codePage, in, n, wide)
                                        : decodeUtf16(from.kind, in, n, wide);
    Output out{reinterpret_cast<unsigned char*>(output), outputSize > 0 ? static_cast<size_t>(outputSize) : 0,
               0};
    bool fits =
        to.kind == CODE_PAGE ? encodeCodePage(to.codePage, wide, out) : encodeUtf16(to.kind, wide, out);
    if (outputLength) *outputLength = static_cast<int>(out.used);
    return whole && fits ? 0 : -1;
}
