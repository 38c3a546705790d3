// The program's own texts, converted once from the UTF-8 of the sources to engine text and kept.
#include "core/charset.h"
#include "core/containers.h"

#include <cstring>
#include <mutex>
#include <string>

static std::mutex programTextMutex;
static HashMap* programTexts;

const char* programText(const char* utf8) {
    std::lock_guard<std::mutex> lock(programTextMutex);
    if (!programTexts) programTexts = hashMapCreate(stringHash, stringEquals, 256, 0.75f);
    const char* known = static_cast<const char*>(hashMapGet(programTexts, utf8));
    if (known) return known;
    std::string text;
    if (convertText("UTF-8", engineCharset(), utf8, std::strlen(utf8), &text) < 0) return utf8;
    char* converted = duplicateString(text.c_str());
    hashMapPut(programTexts, duplicateString(utf8), converted);
    return converted;
}
