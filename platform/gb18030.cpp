// The engine's GB18030 codec: conversion between GB18030, UTF-16 and UTF-8, with the same results
// on every platform.
#include "platform/gb18030.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

#include "platform/gb18030table.inc"

using Form = CodecForm;

// Two-byte codes: lead 81-FE, trail 40-FE, one table row of 191 entries per lead byte.
constexpr uint32_t TRAILS = 191;
// Four-byte codes are counted from 81308130: index 0-39419 are the BMP characters that neither
// one nor two bytes hold, in order; 39420-41467 the surrogate code units; 189000 (90308130)
// onwards the supplementary characters.
constexpr uint32_t BMP_FOUR_BYTE_CODES = 39420;
constexpr uint32_t SURROGATE_BASE = BMP_FOUR_BYTE_CODES;
constexpr uint32_t FOUR_BYTE_UNIT_CODES = SURROGATE_BASE + 0x800;
constexpr uint32_t SUPPLEMENTARY_BASE = 189000;
constexpr uint32_t SUPPLEMENTARY_CODES = 0x100000;

// The order of a code unit in this machine's memory: a block in that order is copied whole.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr Form MEMORY_ORDER = FORM_UTF16LE;
#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr Form MEMORY_ORDER = FORM_UTF16BE;
#else
constexpr Form MEMORY_ORDER = FORM_OTHER;
#endif

// Units are decoded into a block of this size and encoded from it, so that each side runs in a
// tight loop of its own over memory that stays in the cache.
constexpr size_t BLOCK_UNITS = 4096;

struct Tables {
    // Each code unit's code, its bytes packed high byte first: a value below 0x80 is one byte,
    // below 0x10000 two bytes, anything larger four.
    uint32_t code[0x10000];
    // The unit of each four-byte code below FOUR_BYTE_UNIT_CODES.
    uint16_t fourByteUnit[FOUR_BYTE_UNIT_CODES];
};

Tables tables;
std::once_flag tablesBuilt;

uint32_t fourByteCode(uint32_t index) {
    uint32_t b4 = 0x30 + index % 10;
    index /= 10;
    uint32_t b3 = 0x81 + index % 126;
    index /= 126;
    uint32_t b2 = 0x30 + index % 10;
    uint32_t b1 = 0x81 + index / 10;
    return b1 << 24 | b2 << 16 | b3 << 8 | b4;
}

void buildTables() {
    for (uint32_t unit = 0; unit < 0x80; unit++)
        tables.code[unit] = unit;
    for (uint32_t lead = 0; lead < 126; lead++) {
        for (uint32_t trail = 0; trail < TRAILS; trail++) {
            uint16_t unit = TWO_BYTE_UNITS[lead * TRAILS + trail];
            if (unit) tables.code[unit] = (0x81 + lead) << 8 | (0x40 + trail);
        }
    }
    uint32_t index = 0;
    for (uint32_t unit = 0x80; unit < 0x10000 && index < BMP_FOUR_BYTE_CODES; unit++) {
        if ((unit >= 0xD800 && unit <= 0xDFFF) || tables.code[unit]) continue;
        tables.code[unit] = fourByteCode(index);
        tables.fourByteUnit[index++] = static_cast<uint16_t>(unit);
    }
    for (uint32_t unit = 0xD800; unit <= 0xDFFF; unit++) {
        index = SURROGATE_BASE + unit - 0xD800;
        tables.code[unit] = fourByteCode(index);
        tables.fourByteUnit[index] = static_cast<uint16_t>(unit);
    }
}

bool isHigh(uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLow(uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

struct Source {
    const unsigned char* bytes;
    size_t length;
    size_t at;
    Form form;
    int dropped; // byte sequences that do not decode
    bool cut;    // the input ends inside a character
};

struct Target {
    unsigned char* bytes;
    size_t size;
    size_t used;
    Form form;
    int dropped; // characters the target cannot hold
    bool full;   // a character did not fit
};

size_t decodeUtf16(Source& s, uint16_t* units, size_t room) {
    const unsigned char* in = s.bytes + s.at;
    size_t count = (s.length - s.at) / 2;
    if (count > room) count = room;
    if (s.form == MEMORY_ORDER) {
        std::memcpy(units, in, 2 * count);
    } else if (s.form == FORM_UTF16LE) {
        for (size_t k = 0; k < count; k++)
            units[k] = static_cast<uint16_t>(in[2 * k] | in[2 * k + 1] << 8);
    } else {
        for (size_t k = 0; k < count; k++)
            units[k] = static_cast<uint16_t>(in[2 * k] << 8 | in[2 * k + 1]);
    }
    s.at += 2 * count;
    if (s.length - s.at == 1) { // an odd last byte: half a code unit
        s.cut = true;
        s.at = s.length;
    }
    return count;
}

// Stores one character given by its code point as one or two units.
size_t putCodePoint(uint16_t* units, uint32_t cp) {
    if (cp < 0x10000) {
        units[0] = static_cast<uint16_t>(cp);
        return 1;
    }
    cp -= 0x10000;
    units[0] = static_cast<uint16_t>(0xD800 + (cp >> 10));
    units[1] = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
    return 2;
}

size_t decodeGb18030(Source& s, uint16_t* units, size_t room) {
    const unsigned char* in = s.bytes;
    const size_t n = s.length;
    size_t at = s.at;
    size_t count = 0;
    while (count + 2 <= room && at < n) {
        uint32_t b = in[at];
        if (b < 0x80) { // a run of ASCII in one go
            const size_t stop = std::min(n - at, room - count);
            size_t k = 0;
            for (uint64_t eight; k + 8 <= stop; k += 8) { // eight bytes at a time while all are ASCII
                std::memcpy(&eight, in + at + k, sizeof eight);
                if (eight & 0x8080808080808080u) break;
                for (size_t m = 0; m < 8; m++)
                    units[count + k + m] = in[at + k + m];
            }
            while (k < stop && in[at + k] < 0x80) {
                units[count + k] = in[at + k];
                k++;
            }
            count += k;
            at += k;
            continue;
        }
        if (b == 0x80 || b == 0xFF) { // never the first byte of a character
            at++;
            s.dropped++;
            continue;
        }
        if (at + 1 >= n) {
            s.cut = true;
            at = n;
            break;
        }
        uint32_t t = in[at + 1];
        if (t >= 0x40 && t <= 0xFE) {
            uint16_t unit = TWO_BYTE_UNITS[(b - 0x81) * TRAILS + t - 0x40];
            if (unit) {
                units[count++] = unit;
                at += 2;
            } else { // 7F is no trail byte: drop the lead, the 7F stays a character
                at++;
                s.dropped++;
            }
            continue;
        }
        // Four bytes: lead, digit, lead, digit. A malformed character drops its first byte only,
        // so that a quote, a TAB or a line break behind a stray lead byte stays what it is.
        if (t < 0x30 || t > 0x39) {
            at++;
            s.dropped++;
            continue;
        }
        if (at + 2 >= n) {
            s.cut = true;
            at = n;
            break;
        }
        uint32_t c = in[at + 2];
        if (c < 0x81 || c > 0xFE) {
            at++;
            s.dropped++;
            continue;
        }
        if (at + 3 >= n) {
            s.cut = true;
            at = n;
            break;
        }
        uint32_t d = in[at + 3];
        if (d < 0x30 || d > 0x39) {
            at++;
            s.dropped++;
            continue;
        }
        at += 4;
        uint32_t index = (((b - 0x81) * 10 + t - 0x30) * 126 + c - 0x81) * 10 + d - 0x30;
        if (index < FOUR_BYTE_UNIT_CODES) {
            units[count++] = tables.fourByteUnit[index];
        } else if (index >= SUPPLEMENTARY_BASE && index - SUPPLEMENTARY_BASE < SUPPLEMENTARY_CODES) {
            count += putCodePoint(units + count, 0x10000 + index - SUPPLEMENTARY_BASE);
        } else {
            s.dropped++; // well formed, but no character has this code
        }
    }
    s.at = at;
    return count;
}

size_t decodeUtf8(Source& s, uint16_t* units, size_t room) {
    const unsigned char* in = s.bytes;
    const size_t n = s.length;
    size_t at = s.at;
    size_t count = 0;
    while (count + 2 <= room && at < n) {
        uint32_t b = in[at];
        if (b < 0x80) {
            units[count++] = static_cast<uint16_t>(b);
            at++;
            continue;
        }
        // The length of the character and the range of its second byte, which excludes overlong
        // forms, encoded surrogates and code points beyond U+10FFFF.
        size_t follow = 0;
        uint32_t cp = 0, low = 0x80, high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            follow = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            follow = 2;
            cp = b & 0x0F;
            if (b == 0xE0) low = 0xA0;
            if (b == 0xED) high = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            follow = 3;
            cp = b & 0x07;
            if (b == 0xF0) low = 0x90;
            if (b == 0xF4) high = 0x8F;
        } else {
            at++;
            s.dropped++;
            continue;
        }
        size_t k = 1;
        bool valid = true;
        for (; k <= follow && at + k < n; k++) {
            uint32_t next = in[at + k];
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) {
                valid = false;
                break;
            }
            cp = cp << 6 | (next & 0x3F);
        }
        if (!valid) { // drop the first byte; what follows is read again
            at++;
            s.dropped++;
            continue;
        }
        if (k <= follow) {
            s.cut = true;
            at = n;
            break;
        }
        at += follow + 1;
        count += putCodePoint(units + count, cp);
    }
    s.at = at;
    return count;
}

size_t decodeBlock(Source& s, uint16_t* units, size_t room) {
    switch (s.form) {
    case FORM_GB18030:
        return decodeGb18030(s, units, room);
    case FORM_UTF8:
        return decodeUtf8(s, units, room);
    default:
        return decodeUtf16(s, units, room);
    }
}

// How many units form the character at units[i]: 2 for a surrogate pair, else 1; 0 when it is a
// high surrogate at the block's end whose partner may still come.
size_t characterUnits(const uint16_t* units, size_t i, size_t count, bool more) {
    if (!isHigh(units[i])) return 1;
    if (i + 1 < count) return isLow(units[i + 1]) ? 2 : 1;
    return more ? 0 : 1;
}

// Writes the bytes of the ASCII units that begin units, sixteen at a time, while a whole sixteen
// are ASCII and fit in stop; returns how many it wrote (a multiple of sixteen). The rest of the run
// is left to the caller. Where SSE2 is missing, nothing is written here.
inline size_t asciiRun16(const uint16_t* units, unsigned char* out, size_t stop) {
    size_t k = 0;
#if defined(__SSE2__)
    const __m128i notAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
    for (; k + 16 <= stop; k += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + k + 8));
        const __m128i high = _mm_and_si128(_mm_or_si128(a, b), notAscii);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_packus_epi16(a, b));
    }
#else
    (void)units;
    (void)out;
    (void)stop;
#endif
    return k;
}

size_t encodeGb18030(Target& t, const uint16_t* units, size_t count, bool more) {
    unsigned char* out = t.bytes;
    size_t used = t.used;
    size_t i = 0;
    while (i < count) {
        uint32_t unit = units[i];
        if (unit < 0x80) { // a run of ASCII in one go
            const size_t stop = std::min(count - i, t.size - used);
            if (stop == 0) {
                t.full = true;
                break;
            }
            size_t k = asciiRun16(units + i, out + used, stop);
            for (uint64_t four; k + 4 <= stop; k += 4) { // four units at a time while all are ASCII
                std::memcpy(&four, units + i + k, sizeof four);
                if (four & 0xFF80FF80FF80FF80u) break;
                for (size_t m = 0; m < 4; m++)
                    out[used + k + m] = static_cast<unsigned char>(units[i + k + m]);
            }
            while (k < stop && units[i + k] < 0x80) {
                out[used + k] = static_cast<unsigned char>(units[i + k]);
                k++;
            }
            used += k;
            i += k;
            continue;
        }
        uint32_t code = tables.code[unit];
        size_t take = 1;
        if (isHigh(unit)) {
            take = characterUnits(units, i, count, more);
            if (take == 0) break;
            if (take == 2) {
                uint32_t cp = 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00);
                code = fourByteCode(SUPPLEMENTARY_BASE + cp - 0x10000);
            }
        }
        if (code < 0x10000) {
            if (t.size - used < 2) {
                t.full = true;
                break;
            }
            out[used] = static_cast<unsigned char>(code >> 8);
            out[used + 1] = static_cast<unsigned char>(code);
            used += 2;
        } else {
            if (t.size - used < 4) {
                t.full = true;
                break;
            }
            out[used] = static_cast<unsigned char>(code >> 24);
            out[used + 1] = static_cast<unsigned char>(code >> 16);
            out[used + 2] = static_cast<unsigned char>(code >> 8);
            out[used + 3] = static_cast<unsigned char>(code);
            used += 4;
        }
        i += take;
    }
    t.used = used;
    return i;
}

size_t encodeUtf16(Target& t, const uint16_t* units, size_t count, bool more) {
    const bool little = t.form != FORM_UTF16BE;
    // Every unit but a high surrogate that waits for its partner is written as it is; when all of
    // them fit, without looking at them.
    size_t whole = count;
    if (more && whole > 0 && isHigh(units[whole - 1])) whole--;
    if (whole <= (t.size - t.used) / 2) {
        unsigned char* out = t.bytes + t.used;
        if (t.form == MEMORY_ORDER) {
            std::memcpy(out, units, 2 * whole);
        } else if (little) {
            for (size_t k = 0; k < whole; k++) {
                out[2 * k] = static_cast<unsigned char>(units[k]);
                out[2 * k + 1] = static_cast<unsigned char>(units[k] >> 8);
            }
        } else {
            for (size_t k = 0; k < whole; k++) {
                out[2 * k] = static_cast<unsigned char>(units[k] >> 8);
                out[2 * k + 1] = static_cast<unsigned char>(units[k]);
            }
        }
        t.used += 2 * whole;
        return whole;
    }
    // Not enough room: whole characters while they fit, a pair never halved.
    size_t i = 0;
    while (i < count) {
        size_t take = characterUnits(units, i, count, more);
        if (take == 0) break;
        if (t.size - t.used < 2 * take) {
            t.full = true;
            break;
        }
        for (size_t k = 0; k < take; k++) {
            uint32_t unit = units[i + k];
            t.bytes[t.used++] = static_cast<unsigned char>(little ? unit : unit >> 8);
            t.bytes[t.used++] = static_cast<unsigned char>(little ? unit >> 8 : unit);
        }
        i += take;
    }
    return i;
}

size_t encodeUtf8(Target& t, const uint16_t* units, size_t count, bool more) {
    size_t i = 0;
    while (i < count) {
        size_t take = characterUnits(units, i, count, more);
        if (take == 0) break;
        uint32_t cp = units[i];
        if (take == 2) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) { // UTF-8 has no unpaired surrogates
            t.dropped++;
            i++;
            continue;
        }
        unsigned char bytes[4];
        size_t length;
        if (cp < 0x80) {
            bytes[0] = static_cast<unsigned char>(cp);
            length = 1;
        } else if (cp < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | cp >> 6);
            bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            length = 2;
        } else if (cp < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | cp >> 12);
            bytes[1] = static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            length = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | cp >> 18);
            bytes[1] = static_cast<unsigned char>(0x80 | (cp >> 12 & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            length = 4;
        }
        if (t.size - t.used < length) {
            t.full = true;
            break;
        }
        std::memcpy(t.bytes + t.used, bytes, length);
        t.used += length;
        i += take;
    }
    return i;
}

// Encodes whole characters from the block while they fit; a high surrogate at the block's end is
// left for the next block when more input follows. Returns the units consumed.
size_t encodeBlock(Target& t, const uint16_t* units, size_t count, bool more) {
    switch (t.form) {
    case FORM_GB18030:
        return encodeGb18030(t, units, count, more);
    case FORM_UTF8:
        return encodeUtf8(t, units, count, more);
    default:
        return encodeUtf16(t, units, count, more);
    }
}

// Both forms are the codec's own; the output buffer is zero-filled where the caller wants it.
int convertForms(Form from, Form to, const unsigned char* input, size_t length, unsigned char* output,
                 size_t size, size_t* produced) {
    std::call_once(tablesBuilt, buildTables);
    Source source{input, length, 0, from, 0, false};
    if (from == FORM_UTF16) {
        // The byte-order mark chooses the order and is no character; without one, big-endian.
        source.form = FORM_UTF16BE;
        if (length >= 2 && input[0] == 0xFF && input[1] == 0xFE) {
            source.form = FORM_UTF16LE;
            source.at = 2;
        } else if (length >= 2 && input[0] == 0xFE && input[1] == 0xFF) {
            source.at = 2;
        }
    }
    Target target{output, size, 0, to, 0, false};
    if (to == FORM_UTF16) {
        target.form = FORM_UTF16LE;
        if (size < 2) {
            target.full = true;
        } else {
            output[0] = 0xFF;
            output[1] = 0xFE;
            target.used = 2;
        }
    }
    uint16_t block[BLOCK_UNITS];
    size_t held = 0;
    while (!target.full) {
        held += decodeBlock(source, block + held, BLOCK_UNITS - held);
        const bool more = source.at < source.length;
        size_t used = encodeBlock(target, block, held, more);
        if (target.full || !more) break;
        // At most one unit is left: a high surrogate that waits for its partner.
        held -= used;
        if (held) block[0] = block[used];
    }
    *produced = target.used;
    if (target.full || source.cut) return -1;
    return source.dropped + target.dropped;
}

} // namespace

int decodeUtf16ToGb18030(CodecForm from, const char* input, int inputLength, char* output, int outputSize,
                         int* outputLength) {
    if (from != FORM_UTF16 && from != FORM_UTF16LE && from != FORM_UTF16BE) return -1;
    size_t produced = 0;
    const int result = convertForms(from, FORM_GB18030, reinterpret_cast<const unsigned char*>(input),
                                    inputLength > 0 && input ? static_cast<size_t>(inputLength) : 0,
                                    reinterpret_cast<unsigned char*>(output),
                                    outputSize > 0 ? static_cast<size_t>(outputSize) : 0, &produced);
    if (outputLength) *outputLength = static_cast<int>(produced);
    return result;
}

int isGb18030SurrogateCode(const unsigned char* p) {
    if (p[0] < 0x81 || p[0] > 0xFE || p[1] < 0x30 || p[1] > 0x39 || p[2] < 0x81 || p[2] > 0xFE ||
        p[3] < 0x30 || p[3] > 0x39)
        return 0;
    uint32_t index = (((p[0] - 0x81u) * 10 + (p[1] - 0x30u)) * 126 + (p[2] - 0x81u)) * 10 + (p[3] - 0x30u);
    return index >= SURROGATE_BASE && index < FOUR_BYTE_UNIT_CODES;
}

int convertCodecForms(CodecForm from, CodecForm to, const char* input, size_t length, char* output,
                      size_t size, size_t* produced) {
    if (size) std::memset(output, 0, size);
    *produced = 0;
    if (from == FORM_OTHER || to == FORM_OTHER) return -1;
    return convertForms(from, to, reinterpret_cast<const unsigned char*>(input), input ? length : 0,
                        reinterpret_cast<unsigned char*>(output), size, produced);
}

// The most bytes one input byte can become: one UTF-8 or GB18030 byte gives a UTF-16 unit, and two
// UTF-16 bytes at most four GB18030 or UTF-8 bytes; plus room for a byte-order mark.
static constexpr size_t MOST_BYTES_PER_BYTE = 4;
static constexpr size_t MARK_ROOM = 8;

int convertCodecText(CodecForm from, CodecForm to, const char* input, size_t length, std::string* output) {
    output->clear();
    if (length > (SIZE_MAX - MARK_ROOM) / MOST_BYTES_PER_BYTE) return -1;
    output->resize(length * MOST_BYTES_PER_BYTE + MARK_ROOM);
    size_t produced = 0;
    int result = convertCodecForms(from, to, input, length, &(*output)[0], output->size(), &produced);
    if (result < 0) {
        output->clear();
        return -1;
    }
    output->resize(produced);
    return result;
}
