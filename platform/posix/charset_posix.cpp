#include "core/charset.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>

const char* engineCharset() { return "GB18030"; }

int convertCharset(const char* fromCharset, const char* toCharset, const char* input, int inputLength,
                   char* output, int outputSize, int* outputLength) {
    char target[64];
    if (std::snprintf(target, sizeof target, "%s//IGNORE", toCharset) >= static_cast<int>(sizeof target)) {
        std::puts("不支持的字符集");
        return -1;
    }
    iconv_t converter = iconv_open(target, fromCharset);
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        std::puts("不支持的字符集");
        return -1;
    }
    if (outputSize > 0) std::memset(output, 0, static_cast<size_t>(outputSize));
    char* in = const_cast<char*>(input);
    size_t inLeft = inputLength > 0 ? static_cast<size_t>(inputLength) : 0;
    char* out = output;
    size_t outLeft = outputSize > 0 ? static_cast<size_t>(outputSize) : 0;
    size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
    int failed = 0;
    if (result == static_cast<size_t>(-1)) {
        // With //IGNORE glibc reports EILSEQ after skipping what it could not convert even though
        // the whole input was consumed; that is a successful conversion with dropped characters.
        failed = !(errno == EILSEQ && inLeft == 0);
    }
    if (!failed) {
        // Flush any state the converter still holds (none for the charsets used here).
        iconv(converter, nullptr, nullptr, &out, &outLeft);
    }
    if (outputLength) *outputLength = static_cast<int>(out - output);
    iconv_close(converter);
    if (failed) return -1;
    return result == static_cast<size_t>(-1) ? 0 : static_cast<int>(result);
}
