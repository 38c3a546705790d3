// The engine's charset conversion and its one routing: GB18030 through the engine's codec
// (platform/gb18030.h), every other charset through the platform's converter, and GB18030 to or
// from one of those through UTF-16LE; whole-text conversion with the result sized here.
#include "core/charset.h"

#include "platform/charset.h"
#include "platform/gb18030.h"

#include <climits>
#include <cstdint>
#include <vector>

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

static CodecForm formNamed(const char* name) {
    if (!name) return FORM_OTHER;
    if (sameCharsetName(name, "GB18030")) return FORM_GB18030;
    if (sameCharsetName(name, "UTF-16") || sameCharsetName(name, "UCS-2")) return FORM_UTF16;
    if (sameCharsetName(name, "UTF-16LE") || sameCharsetName(name, "UCS-2LE")) return FORM_UTF16LE;
    if (sameCharsetName(name, "UTF-16BE") || sameCharsetName(name, "UCS-2BE")) return FORM_UTF16BE;
    if (sameCharsetName(name, "UTF-8") || sameCharsetName(name, "UTF8")) return FORM_UTF8;
    return FORM_OTHER;
}

static int convertForms(CodecForm from, CodecForm to, const char* input, int inputLength, char* output,
                        int outputSize, int* outputLength) {
    size_t produced = 0;
    int result =
        convertCodecForms(from, to, input, inputLength > 0 && input ? static_cast<size_t>(inputLength) : 0,
                          output, outputSize > 0 ? static_cast<size_t>(outputSize) : 0, &produced);
    if (outputLength) *outputLength = static_cast<int>(produced);
    return result;
}

int convertCharset(const char* fromCharset, const char* toCharset, const char* input, int inputLength,
                   char* output, int outputSize, int* outputLength) {
    const CodecForm from = formNamed(fromCharset);
    const CodecForm to = formNamed(toCharset);
    if (from != FORM_GB18030 && to != FORM_GB18030) {
        return convertPlatformCharset(fromCharset, toCharset, input, inputLength, output, outputSize,
                                      outputLength);
    }
    if (from != FORM_OTHER && to != FORM_OTHER) {
        return convertForms(from, to, input, inputLength, output, outputSize, outputLength);
    }

    // GB18030 and a charset the platform converts: through UTF-16LE, in which every byte of
    // either side takes at most two units. An unknown name fails before the output is touched.
    const char* other = from == FORM_OTHER ? fromCharset : toCharset;
    char probe[1];
    int none = 0;
    const int known = from == FORM_OTHER ? convertPlatformCharset(other, "UTF-16LE", "", 0, probe, 0, &none)
                                         : convertPlatformCharset("UTF-16LE", other, "", 0, probe, 0, &none);
    const size_t length = inputLength > 0 && input ? static_cast<size_t>(inputLength) : 0;
    if (known < 0 || length > static_cast<size_t>(INT32_MAX / 4 - 4)) return -1;
    std::vector<char> wide(4 * length + 4);
    int wideLength = 0;
    int produced = 0;
    int first, second;
    if (from == FORM_OTHER) {
        first = convertPlatformCharset(fromCharset, "UTF-16LE", input, inputLength, wide.data(),
                                       static_cast<int>(wide.size()), &wideLength);
        second =
            convertForms(FORM_UTF16LE, FORM_GB18030, wide.data(), wideLength, output, outputSize, &produced);
    } else {
        first = convertForms(FORM_GB18030, FORM_UTF16LE, input, inputLength, wide.data(),
                             static_cast<int>(wide.size()), &wideLength);
        second = convertPlatformCharset("UTF-16LE", toCharset, wide.data(), wideLength, output, outputSize,
                                        &produced);
    }
    if (outputLength) *outputLength = produced;
    return first < 0 || second < 0 ? -1 : first + second;
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
