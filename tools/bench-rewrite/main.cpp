// Times the reference rewrite over one large package text with maps of 1,000, 10,000 and 100,000
// addresses, next to iconv's conversion of the same text to UTF-16LE, the conversion that the
// write-back performs (with the engine's own codec, whose time is shown too).
//
//   bench-rewrite [MEGABYTES]      (100 by default)
//
// The rewrite with the largest map must take no longer than iconv's conversion of the same text. Each
// measurement is taken RUNS times on a fresh copy of the text and the median is judged, since the
// machine may be shared; the first (cold) run is shown as well. The exit status is 0 when the bar
// holds, 1 otherwise.
//
// Then, with the largest map, each of the rewrite's speed-ups is switched off in turn (RewriteOptions),
// the runs of all settings interleaved so that a busy machine slows each alike, and what each buys is
// shown: the share of the time without it that it saves. Every setting must give the same text.
#include "core/charset.h"
#include "core/containers.h"
#include "core/text.h"
#include "migration/rewrite.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include <iconv.h>
#endif

namespace {

constexpr int ADDRESS_COUNT = 200000;
constexpr int MAP_SIZES[] = {1000, 10000, 100000};
constexpr int RUNS = 5;

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string engineText(const char* utf8) {
    std::string out;
    if (convertText("UTF-8", engineCharset(), utf8, std::strlen(utf8), &out) < 0) return utf8;
    return out;
}

// Addresses as a shop's export holds them: one image host, one seller, random image names, and
// every fourth one followed by its own thumbnail (the original is the beginning of the thumbnail).
std::vector<std::string> makeAddresses() {
    std::vector<std::string> addresses;
    addresses.reserve(ADDRESS_COUNT);
    uint64_t state = 88172645463325252ULL;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    char buffer[256];
    while (addresses.size() < static_cast<size_t>(ADDRESS_COUNT)) {
        uint64_t r = next();
        std::snprintf(buffer, sizeof buffer,
                      "http://img.alicdn.com/imgextra/i%d/2206%06u/O1CN01%012llx_!!2206%06u.jpg",
                      static_cast<int>(r % 4) + 1, static_cast<unsigned>((r >> 8) % 1000000),
                      static_cast<unsigned long long>(next() & 0xFFFFFFFFFFFFULL),
                      static_cast<unsigned>((r >> 8) % 1000000));
        addresses.push_back(buffer);
        if (r % 4 == 0) addresses.push_back(std::string(buffer) + "_60x60.jpg");
    }
    addresses.resize(ADDRESS_COUNT);
    return addresses;
}

// Item rows of the package format: a title, a description holding img tags and a background
// style, mobile details with img elements, and Chinese text between them.
std::string makePackageText(const std::vector<std::string>& addresses, size_t targetBytes) {
    std::string header = engineText("version 1.00\r\n宝贝名称\t宝贝类目\t宝贝描述\t无线详情\r\n");
    std::string title = engineText("\"夏季新款连衣裙女装 显瘦雪纺长裙\"\t50010850\t\"");
    std::string words = engineText("<p><span style=\"\"font-size:14px\"\">纯棉面料，亲肤透气，做工精细。"
                                   "尺码请参考详情页尺码表，如有疑问请咨询客服。</span></p>");
    std::string mobileText = engineText("<txt>面料舒适，版型显瘦</txt>");
    std::string text;
    text.reserve(targetBytes + 4096);
    text += header;
    size_t a = 0;
    while (text.size() < targetBytes) {
        text += title;
        for (int i = 0; i < 6; i++) {
            text += words;
            text += "<img align=\"\"absmiddle\"\" src=\"\"";
            text += addresses[a++ % addresses.size()];
            text += "\"\" style=\"\"width:750px;height:auto\"\">";
        }
        text += "<div style=\"\"background:url(";
        text += addresses[a++ % addresses.size()];
        text += ")\"\">";
        text += words;
        text += "</div>\"\t\"<wapDesc>";
        for (int i = 0; i < 3; i++) {
            text += "<img>";
            text += addresses[(a * 7 + static_cast<size_t>(i)) % addresses.size()];
            text += "</img>";
            text += mobileText;
        }
        text += "</wapDesc>\"\r\n";
    }
    return text;
}

struct MapRelease {
    void operator()(HashMap* map) const { hashMapDestroy(map, 1, 1); }
};

// The map is filled in the order of the addresses' numbers, which is mostly the order in which
// the text first names them: the job, too, files each address as its download ends, and it
// downloads in the order of the package.
std::unique_ptr<HashMap, MapRelease> makeMap(const std::vector<std::string>& addresses, int size) {
    std::unique_ptr<HashMap, MapRelease> map(hashMapCreate(stringHash, stringEquals, size * 2, 0.75f));
    char path[128];
    for (int i = 0; i < size; i++) {
        // Every tenth download failed; the rest were saved under stamp names.
        if (i % 10 == 9) {
            path[0] = '\0';
        } else {
            std::snprintf(path, sizeof path, "D:\\images\\2026-3-5-9-7-%d.jpg", i + 1);
        }
        hashMapPut(map.get(), duplicateString(addresses[static_cast<size_t>(i)].c_str()),
                   duplicateString(path));
    }
    return map;
}

int lastPercent = 0;
void noteProgress(void*, int percent) {
    lastPercent = percent;
}

struct Timing {
    double first;
    double median;
    double best;
};

Timing summarise(std::vector<double> runs) {
    Timing t{runs.front(), 0, 0};
    std::sort(runs.begin(), runs.end());
    t.median = runs[runs.size() / 2];
    t.best = runs.front();
    return t;
}

#ifdef _WIN32
constexpr const char* ICONV_LABEL = "the engine's codec (no iconv here)";
#else
constexpr const char* ICONV_LABEL = "iconv";
#endif

// Converts the text to UTF-16LE RUNS times, with iconv(3) where the system has it (useIconv 1) or
// with the engine's codec; a median of -1 when a conversion fails.
Timing timeConversion(const std::string& text, int useIconv) {
    std::vector<char> utf16(text.size() * 2 + 16);
    std::vector<double> runs;
    for (int run = 0; run < RUNS; run++) {
        auto start = std::chrono::steady_clock::now();
        bool converted;
#ifndef _WIN32
        if (useIconv) {
            iconv_t cd = iconv_open("UTF-16LE", "GB18030");
            char* in = const_cast<char*>(text.data());
            size_t inLeft = text.size();
            char* out = utf16.data();
            size_t outLeft = utf16.size();
            converted = cd != reinterpret_cast<iconv_t>(-1) &&
                        iconv(cd, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1);
            if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
        } else
#endif
        {
            (void)useIconv;
            int produced = 0;
            converted =
                convertCharset(engineCharset(), "UTF-16LE", text.data(), static_cast<int>(text.size()),
                               utf16.data(), static_cast<int>(utf16.size()), &produced) >= 0;
        }
        runs.push_back(seconds(start));
        if (!converted) return Timing{-1, -1, -1};
    }
    return summarise(runs);
}

} // namespace

int main(int argc, char** argv) {
    size_t megabytes = argc > 1 ? static_cast<size_t>(std::strtoul(argv[1], nullptr, 10)) : 100;
    if (megabytes == 0) megabytes = 100;

    std::vector<std::string> addresses = makeAddresses();
    std::string text = makePackageText(addresses, megabytes * 1000 * 1000);
    std::printf("package text: %.1f MB, %d distinct addresses\n", text.size() / 1e6, ADDRESS_COUNT);

    // The bar: iconv's conversion of the same text to UTF-16LE, into a buffer that is already in
    // memory. The write-back itself converts with the engine's own codec, shown for scale.
    Timing conversion = timeConversion(text, 1);
    Timing codec = timeConversion(text, 0);
    if (conversion.median < 0 || codec.median < 0) {
        std::fprintf(stderr, "the conversion failed\n");
        return 1;
    }
    std::printf("%s %s to UTF-16LE: median %.3f s (first %.3f, best %.3f)\n", ICONV_LABEL, engineCharset(),
                conversion.median, conversion.first, conversion.best);
    std::printf("the engine's codec, as the write-back converts: median %.3f s (first %.3f, best %.3f)\n",
                codec.median, codec.first, codec.best);

    // The price of one whole-text replacement per address, for scale.
    {
        constexpr int PASSES = 10;
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < PASSES; i++) {
            char* replaced = replaceAll(text.c_str(), addresses[static_cast<size_t>(i)].c_str(), "D:\\x.jpg");
            std::free(replaced);
        }
        std::printf("replaceAll, one pass per address: %.3f s per address\n", seconds(start) / PASSES);
    }

    Timing timings[3];
    for (int m = 0; m < 3; m++) {
        int size = MAP_SIZES[m];
        auto map = makeMap(addresses, size);
        std::vector<double> runs;
        int changed = 0;
        size_t after = 0;
        for (int run = 0; run < RUNS; run++) {
            char* working = duplicateString(text.c_str());
            lastPercent = 0;
            auto start = std::chrono::steady_clock::now();
            changed = rewritePackageText(map.get(), &working, 0, noteProgress, nullptr);
            runs.push_back(seconds(start));
            after = std::strlen(working);
            std::free(working);
        }
        timings[m] = summarise(runs);
        std::printf(
            "rewrite with %6d addresses: median %.3f s (first %.3f, best %.3f; changed %d, progress ended "
            "at %d, %.1f MB after)\n",
            size, timings[m].median, timings[m].first, timings[m].best, changed, lastPercent, after / 1e6);
    }

    // What each speed-up buys with the largest map.
    {
        struct Setting {
            const char* name;
            RewriteOptions options;
            std::vector<double> runs;
        };
        std::vector<Setting> settings(3);
        settings[0].name = "all on";
        settings[1].name = "first-byte filter";
        settings[1].options.firstByteFilter = false;
        settings[2].name = "lookahead";
        settings[2].options.lookahead = false;
        auto map = makeMap(addresses, MAP_SIZES[2]);
        std::string expected;
        bool same = true;
        for (int run = 0; run < RUNS; run++) {
            for (Setting& setting : settings) {
                char* working = duplicateString(text.c_str());
                auto start = std::chrono::steady_clock::now();
                rewritePackageTextWith(map.get(), &working, 0, nullptr, nullptr, setting.options);
                setting.runs.push_back(seconds(start));
                if (expected.empty()) expected = working;
                same = same && expected == working;
                std::free(working);
            }
        }
        const double on = summarise(settings[0].runs).median;
        std::printf("speed-up | on | off | gain (100,000 addresses, median of %d)\n", RUNS);
        for (size_t i = 1; i < settings.size(); i++) {
            const double off = summarise(settings[i].runs).median;
            std::printf("%s | %.3f s | %.3f s | %.0f%%\n", settings[i].name, on, off,
                        100.0 * (off - on) / off);
        }
        if (!same) {
            std::fprintf(stderr, "a speed-up changed the rewritten text\n");
            return 1;
        }
    }

    bool withinConversion = timings[2].median <= conversion.median;
    std::printf("100,000 addresses against the conversion: %.3f s vs %.3f s (%s, at most the conversion)\n",
                timings[2].median, conversion.median, withinConversion ? "ok" : "TOO SLOW");
    return withinConversion ? 0 : 1;
}
