// Any bytes as a data package: the read succeeds or fails cleanly, never writes the file, and what
// it hands back keeps the reader's promises.
#include "core/containers.h"
#include "core/deployment.h"
#include "core/text.h"
#include "package/addresses.h"
#include "package/item.h"
#include "package/reader.h"
#include "support/fuzzwindow.h"
#include "tools/support/wholefile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The lists of a read in the default mode: http:// addresses; its uncollected lists: the others.
void checkAddresses(const ArrayList* list, int description, bool uncollected = false) {
    for (int32_t i = 0; i < list->count; i++) {
        const char* address = static_cast<const char*>(list->items[i]);
        if (uncollected) {
            FUZZ_CHECK(startsWithIgnoreCase(address, "https://") || (address[0] == '/' && address[1] == '/'));
        } else {
            FUZZ_CHECK(startsWithIgnoreCase(address, "http://"));
        }
        FUZZ_CHECK(!std::strstr(address, "_.webp"));
        if (description) {
            for (int h = 0; h < EXCLUDED_IMAGE_HOST_COUNT; h++)
                FUZZ_CHECK(!std::strstr(address, EXCLUDED_IMAGE_HOSTS[h]));
            FUZZ_CHECK(std::strcmp(address, BLANK_IMAGE_URL) != 0);
        }
        for (int32_t k = 0; k < i; k++)
            FUZZ_CHECK(std::strcmp(address, static_cast<const char*>(list->items[k])) != 0);
    }
}

// The input's bytes without their NULs (so that the ASCII of a UTF-16 package reads as markup),
// as one field: every pattern finds exactly what PCRE's own search over the whole field finds.
// The reader tries its patterns only at the places where their first text stands and passes over
// places that cannot match; the same pattern behind an empty group is searched unanchored.
void checkPatternsAgainstPlainSearch(const uint8_t* data, size_t size) {
    std::string field;
    for (size_t i = 0; i < size && field.size() < 4096; i++) {
        if (data[i]) field += static_cast<char>(data[i]);
    }
    // The http patterns, then their secure counterparts.
    for (int p = 0; p <= 2 * DESC_IMAGE_PATTERN_COUNT + 1; p++) {
        const int k = p % (DESC_IMAGE_PATTERN_COUNT + 1);
        const bool secure = p > DESC_IMAGE_PATTERN_COUNT;
        const char* pattern = k < DESC_IMAGE_PATTERN_COUNT
                                  ? (secure ? SECURE_DESC_IMAGE_PATTERNS[k] : DESC_IMAGE_PATTERNS[k])
                                  : (secure ? SECURE_MOBILE_IMAGE_PATTERN : MOBILE_IMAGE_PATTERN);
        const std::string plainPattern = std::string("(?:)") + pattern;
        ArrayList* known = arrayListCreate(8, 8);
        ArrayList* plain = arrayListCreate(8, 8);
        FUZZ_CHECK(collectImageRefs(field.c_str(), known, pattern, 0) == 1);
        FUZZ_CHECK(collectImageRefs(field.c_str(), plain, plainPattern.c_str(), 0) == 1);
        FUZZ_CHECK(known->count == plain->count);
        for (int32_t i = 0; i < known->count; i++) {
            FUZZ_CHECK(std::strcmp(static_cast<const char*>(known->items[i]),
                                   static_cast<const char*>(plain->items[i])) == 0);
        }
        arrayListDestroy(known, 1);
        arrayListDestroy(plain, 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzzScratchFile("package.csv");
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);

    resetFuzzWindow();
    ArrayList* items = arrayListCreate(4, 4);
    char sentinel = 0;
    char* text = &sentinel;
    // A pattern that could not be matched is the reader's fatal failure: it returns like any other
    // failure, with a message for the caller to show.
    int ok = readPackage(path.c_str(), items, &text, 0);
    FUZZ_CHECK(ok == 1 || ok == 0 || (ok == PACKAGE_READ_FATAL && lastReadFailure()[0]));

    if (ok == 1) {
        FUZZ_CHECK(text != &sentinel && text != nullptr);
        FUZZ_CHECK(!std::strstr(text, "_.webp"));
        for (int32_t i = 0; i < items->count; i++) {
            const Item* item = static_cast<const Item*>(items->items[i]);
            FUZZ_CHECK(std::strlen(item->title) <= static_cast<size_t>(TITLE_FIELD_MAX - 2));
            FUZZ_CHECK(item->descImages != nullptr);
            checkAddresses(item->descImages, 1);
            if (item->mobileImages) checkAddresses(item->mobileImages, 0);
            if (item->uncollectedDescImages) checkAddresses(item->uncollectedDescImages, 1, true);
            if (item->uncollectedMobileImages) checkAddresses(item->uncollectedMobileImages, 0, true);
            FUZZ_CHECK(!item->descFailures && !item->mobileFailures && item->status == 0);
        }
        std::free(text);
    } else {
        FUZZ_CHECK(text == &sentinel);
        FUZZ_CHECK(items->count == 0);
        FUZZ_CHECK(fuzzMessageCount == 0);
    }
    FUZZ_CHECK(readWholeFile(path) == bytes);

    clearItems(items);
    arrayListDestroy(items, 0);

    checkPatternsAgainstPlainSearch(data, size);
    return 0;
}
