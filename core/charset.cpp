// The engine's side of charset conversion: GB18030 through the engine's codec, every other charset
// through the platform's converter, and whole-text conversion with the result sized here.
#include "core/charset.h"

#include "core/gb18030.h"
#include "platform/charset.h"

#include <climits>

int sameCharsetName(const char* a, const char* b) {
    for (;; a++, b++) {
        char x = *a, y = *b;
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return 0;
        if (!x) return 1;
    }
}

const char* engineCharset() {
    return "GB18030";
}

int convertCharset(const char* fromCharset, const char* toCharset, const char* input, int inputLength,
                   char* output, int outputSize, int* outputLength) {
    int result = 0;
    if (convertWithEngineCodec(fromCharset, toCharset, input, inputLength, output, outputSize, outputLength,
                               &result)) {
        return result;
    }
    return convertPlatformCharset(fromCharset, toCharset, input, inputLength, output, outputSize,
                                  outputLength);
}

// The most bytes one input byte can become: one UTF-8 or GB18030 byte gives a UTF-16 unit, two
// UTF-16 bytes at most four GB18030 bytes, plus room for a byte-order mark that a marked target
// writes.
static constexpr size_t MOST_BYTES_PER_BYTE = 4;
static constexpr size_t MARK_ROOM = 8;

int convertText(const char* fromCharset, const char* toCharset, const char* input, size_t inputLength,
                std::string* output) {
    output->clear();
    if (inputLength > (INT_MAX - MARK_ROOM) / MOST_BYTES_PER_BYTE) return -1;
    output->resize(inputLength * MOST_BYTES_PER_BYTE + MARK_ROOM);
    int produced = 0;
    int result = convertCharset(fromCharset, toCharset, input, static_cast<int>(inputLength), &(*output)[0],
                                static_cast<int>(output->size()), &produced);
    if (result < 0 || produced < 0 || static_cast<size_t>(produced) > output->size()) {
        output->clear();
        return -1;
    }
    output->resize(static_cast<size_t>(produced));
    return result;
}
