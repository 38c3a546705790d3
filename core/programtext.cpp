// The program's own texts, converted once from the UTF-8 of the sources to engine text and kept.
#include "core/charset.h"
#include "core/containers.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

static std::mutex programTextMutex;
static HashMap* programTexts;

const char* programText(const char* utf8) {
    std::lock_guard<std::mutex> lock(programTextMutex);
    if (!programTexts) programTexts = hashMapCreate(stringHash, stringEquals, 256, 0.75f);
    const char* known = static_cast<const char*>(hashMapGet(programTexts, utf8));
    if (known) return known;
    int length = static_cast<int>(std::strlen(utf8));
    int size = length * 2 + 1;
    char* converted = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
    if (!converted) return utf8;
    int produced = 0;
    if (convertCharset("UTF-8", engineCharset(), utf8, length, converted, size, &produced) < 0) {
        std::free(converted);
        return utf8;
    }
    converted[produced < size ? produced : size - 1] = '\0';
    hashMapPut(programTexts, duplicateString(utf8), converted);
    return converted;
}
