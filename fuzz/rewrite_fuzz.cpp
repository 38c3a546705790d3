// Any package text and any address map: the one-pass rewrite gives exactly what a plain scan for
// the longest address that stands whole at each place gives, reports progress that only rises and ends at
// 100, and says the package changed exactly when it must be written back.
//
// Input: one flag byte (bit 0: blank failed images), then the map as entries separated by 0x01,
// each "address 0x02 path" (no path: a failed download), then 0x00 and the text. Addresses are
// made to begin with "http://" and hold no angle bracket, as the reader's patterns guarantee.
#include "core/containers.h"
#include "core/deployment.h"
#include "migration/rewrite.h"
#include "support/fuzzwindow.h"
#include "tools/support/wholeaddress.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

std::vector<int> progressSeen;

void recordProgress(void* context, int percent) {
    static_cast<std::vector<int>*>(context)->push_back(percent);
}

std::string cleanAddress(const std::string& raw) {
    std::string address = "http://";
    for (char c : raw) {
        if (c != '<' && c != '>' && c != '\0') address += c;
    }
    return address;
}

// The rewrite as plainly as it can be said; the quote that closes a field stays.
std::string expectedText(const std::string& text, const std::map<std::string, std::string>& addresses,
                         bool blank) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        const std::string* longest = nullptr;
        const std::string* path = nullptr;
        for (const auto& entry : addresses) {
            if (text.compare(i, entry.first.size(), entry.first) == 0 &&
                standsWhole(text, i + entry.first.size(), entry.first) && beginsWhole(text, i, entry.first) &&
                (!longest || entry.first.size() > longest->size())) {
                longest = &entry.first;
                path = &entry.second;
            }
        }
        if (!longest) {
            out += text[i++];
            continue;
        }
        size_t end = i + longest->size();
        const size_t quote = closingQuote(*longest);
        if (!path->empty()) {
            out += *path;
            if (quote) out += '"';
        } else if (!blank) {
            out += *longest;
        } else if (i >= 5 && text.compare(i - 5, 5, "<img>") == 0 && text.compare(end, 6, "</img>") == 0 &&
                   out.size() >= 5 && out.compare(out.size() - 5, 5, "<img>") == 0) {
            out.erase(out.size() - 5);
            end += 6;
        } else {
            out += BLANK_IMAGE_URL;
            if (quote) out += '"';
        }
        i = end;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool blank = data[0] & 1;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t split = rest.find('\0');
    if (split == std::string::npos) return 0;
    std::string mapPart = rest.substr(0, split);
    std::string text = rest.substr(split + 1);
    if (text.find('\0') != std::string::npos || text.empty()) return 0;

    std::map<std::string, std::string> addresses;
    size_t start = 0;
    while (start <= mapPart.size() && addresses.size() < 64) {
        size_t stop = mapPart.find('\x01', start);
        if (stop == std::string::npos) stop = mapPart.size();
        std::string entry = mapPart.substr(start, stop - start);
        size_t mark = entry.find('\x02');
        std::string address = cleanAddress(entry.substr(0, mark));
        std::string path = mark == std::string::npos ? "" : entry.substr(mark + 1);
        addresses[address] = path;
        start = stop + 1;
    }

    HashMap* map = hashMapCreate(stringHash, stringEquals, 32, 0.75f);
    bool anyFailed = false;
    for (const auto& entry : addresses) {
        hashMapPut(map, duplicateString(entry.first.c_str()), duplicateString(entry.second.c_str()));
        anyFailed = anyFailed || entry.second.empty();
    }
    char* rewritten = duplicateString(text.c_str());
    progressSeen.clear();
    int changed = rewritePackageText(map, &rewritten, blank ? 1 : 0, recordProgress, &progressSeen);

    std::string expected = expectedText(text, addresses, blank);
    FUZZ_CHECK(std::string(rewritten) == expected);
    if (!changed) FUZZ_CHECK(expected == text);
    if (blank && anyFailed) FUZZ_CHECK(changed == 1);
    FUZZ_CHECK(!progressSeen.empty() && progressSeen.back() == 100);
    for (size_t i = 1; i < progressSeen.size(); i++)
        FUZZ_CHECK(progressSeen[i] > progressSeen[i - 1]);

    // The speed-ups change nothing: without them the text is the same.
    char* plain = duplicateString(text.c_str());
    RewriteOptions without;
    without.firstByteFilter = false;
    without.lookahead = false;
    FUZZ_CHECK(rewritePackageTextWith(map, &plain, blank ? 1 : 0, nullptr, nullptr, without) == changed);
    FUZZ_CHECK(std::string(plain) == expected);
    std::free(plain);

    std::free(rewritten);
    hashMapDestroy(map, 1, 1);
    return 0;
}
