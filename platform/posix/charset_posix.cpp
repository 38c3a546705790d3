// Charset conversion on Linux through iconv, for every charset but GB18030.
#include "platform/charset.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <strings.h>

namespace {

struct ConverterClose {
    iconv_t converter;
    ~ConverterClose() { iconv_close(converter); }
};

// glibc reads UTF-16 without a byte-order mark in the machine's order; ours is big-endian then.
// The mark is read here and the order named to iconv explicitly.
const char* sourceName(const char* name, const char** input, size_t* length) {
    bool marked = strcasecmp(name, "UTF-16") == 0 || strcasecmp(name, "UCS-2") == 0;
    if (!marked) return strcasecmp(name, "UCS-2LE") == 0 ? "UTF-16LE" : name;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(*input);
    if (*length >= 2 && in[0] == 0xFF && in[1] == 0xFE) {
        *input += 2;
        *length -= 2;
        return "UTF-16LE";
    }
    if (*length >= 2 && in[0] == 0xFE && in[1] == 0xFF) {
        *input += 2;
        *length -= 2;
    }
    return "UTF-16BE";
}

} // namespace

int convertPlatformCharset(const char* fromCharset, const char* toCharset, const char* input, int inputLength,
                           char* output, int outputSize, int* outputLength) {
    char target[64];
    if (std::snprintf(target, sizeof target, "%s//IGNORE", toCharset) >= static_cast<int>(sizeof target)) {
        std::puts("不支持的字符集");
        return -1;
    }
    size_t inLeft = inputLength > 0 && input ? static_cast<size_t>(inputLength) : 0;
    const char* start = input;
    const char* from = sourceName(fromCharset, &start, &inLeft);
    iconv_t converter = iconv_open(target, from);
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        std::puts("不支持的字符集");
        return -1;
    }
    ConverterClose closer{converter};
    if (outputSize > 0) std::memset(output, 0, static_cast<size_t>(outputSize));
    char* in = const_cast<char*>(start);
    char* out = output;
    size_t outLeft = outputSize > 0 ? static_cast<size_t>(outputSize) : 0;
    int failed = 0;
    int irreversible = 0;
    for (;;) {
        char* before = in;
        size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
        if (result != static_cast<size_t>(-1)) {
            irreversible += static_cast<int>(result);
            break;
        }
        // With //IGNORE glibc reports EILSEQ once it has skipped something, and may do so before
        // the end of the input; a call that made progress is simply continued.
        if (errno == EILSEQ && inLeft == 0) break;
        if (errno == EILSEQ && in != before) continue;
        failed = 1;
        break;
    }
    if (!failed) {
        // Flush any state the converter still holds (none for the charsets used here).
        iconv(converter, nullptr, nullptr, &out, &outLeft);
    }
    if (outputLength) *outputLength = static_cast<int>(out - output);
    return failed ? -1 : irreversible;
}
