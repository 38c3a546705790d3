#include "core/charset.h"

#include "core/appdir.h"
#include "core/applog.h"
#include "core/text.h"
#include "support/testfiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Converted {
    int result;
    std::string bytes;                 // the bytes produced
    std::vector<unsigned char> buffer; // the whole output buffer, guard bytes included
};

constexpr unsigned char GUARD = 0x55;
constexpr int GUARD_BYTES = 8;

// Converts into a buffer of `size` bytes that is followed by guard bytes.
Converted convert(const char* from, const char* to, const std::string& input, int size) {
    Converted c;
    c.buffer.assign(static_cast<size_t>(size + GUARD_BYTES), GUARD);
    int produced = -7;
    c.result = convertCharset(from, to, input.data(), static_cast<int>(input.size()),
                              reinterpret_cast<char*>(c.buffer.data()), size, &produced);
    if (produced > 0)
        c.bytes.assign(reinterpret_cast<const char*>(c.buffer.data()), static_cast<size_t>(produced));
    for (int i = 0; i < GUARD_BYTES; i++) {
        EXPECT_EQ(c.buffer[static_cast<size_t>(size + i)], GUARD) << "written past the buffer";
    }
    return c;
}

Converted convert(const char* from, const char* to, const std::string& input) {
    return convert(from, to, input, static_cast<int>(input.size() * 4 + 8));
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

bool engineHasEveryCharacter() {
    return std::strcmp(engineCharset(), "GB18030") == 0;
}

// "宝贝名称" in UTF-8, UTF-16LE and GBK.
const std::string TITLE_UTF8 = "\xE5\xAE\x9D\xE8\xB4\x9D\xE5\x90\x8D\xE7\xA7\xB0";
const std::string TITLE_UTF16LE = bytes({0x9D, 0x5B, 0x1D, 0x8D, 0x0D, 0x54, 0xF0, 0x79});
const std::string TITLE_GBK = bytes({0xB1, 0xA6, 0xB1, 0xB4, 0xC3, 0xFB, 0xB3, 0xC6});

// U+20BB7 (a rare CJK character) and U+1F600 (an emoji) in UTF-16LE, with ASCII around them.
const std::string RARE_UTF16LE =
    bytes({'A', 0, 0x42, 0xD8, 0xB7, 0xDF, '-', 0, 0x3D, 0xD8, 0x00, 0xDE, 'Z', 0});

} // namespace

TEST(ConvertCharset, UnknownNameFailsAndLeavesTheOutputAlone) {
    for (auto names :
         {std::make_pair("NO-SUCH-CHARSET", "UTF-8"), std::make_pair("UTF-8", "NO-SUCH-CHARSET")}) {
        std::vector<char> out(16, 'x');
        int produced = 12345;
        EXPECT_EQ(convertCharset(names.first, names.second, "abc", 3, out.data(), 16, &produced), -1);
        EXPECT_EQ(std::string(out.data(), 16), std::string(16, 'x'));
        EXPECT_EQ(produced, 12345);
    }
}

TEST(ConvertCharset, NamesIgnoreLetterCase) {
    EXPECT_EQ(convert("utf-8", "gbk", TITLE_UTF8).bytes, TITLE_GBK);
    EXPECT_EQ(convert("Utf-16le", "uTF-8", TITLE_UTF16LE).bytes, TITLE_UTF8);
}

TEST(ConvertCharset, ByteOrderMarkChoosesTheOrderAndProducesNothing) {
    const std::string big = bytes({0x5B, 0x9D, 0x8D, 0x1D, 0x54, 0x0D, 0x79, 0xF0});
    EXPECT_EQ(convert("UTF-16", "GBK", "\xFF\xFE" + TITLE_UTF16LE).bytes, TITLE_GBK);
    EXPECT_EQ(convert("UTF-16", "GBK", "\xFE\xFF" + big).bytes, TITLE_GBK);
    EXPECT_EQ(convert("UTF-16", "GBK", big).bytes, TITLE_GBK) << "no mark means big-endian";
    EXPECT_EQ(convert("UTF-16", "GBK", std::string("\xFF\xFE", 2)).bytes, "");
    // Only a leading mark is a mark; the fixed-order names keep it as a character.
    EXPECT_EQ(convert("UTF-16LE", "UTF-8", bytes({0xFF, 0xFE, 'A', 0})).bytes, "\xEF\xBB\xBF"
                                                                               "A");
}

TEST(ConvertCharset, EngineTextKeepsGbkBytes) {
    Converted c = convert("UTF-16LE", engineCharset(), TITLE_UTF16LE);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.bytes, TITLE_GBK);
    EXPECT_EQ(convert(engineCharset(), "UTF-16LE", TITLE_GBK).bytes, TITLE_UTF16LE);
    // Embedded NULs are ordinary characters.
    EXPECT_EQ(convert("UTF-8", "UTF-16LE", std::string("A\0B", 3)).bytes, bytes({'A', 0, 0, 0, 'B', 0}));
}

TEST(ConvertCharset, EmojiAndRareCharacterSurviveTheEngineRoundTrip) {
    if (!engineHasEveryCharacter()) {
        GTEST_SKIP() << "this system lacks GB18030; the engine falls back to GBK, which cannot hold "
                        "U+20BB7 or U+1F600";
    }
    Converted engine = convert("UTF-16LE", engineCharset(), RARE_UTF16LE);
    ASSERT_EQ(engine.result, 0);
    EXPECT_EQ(engine.bytes,
              "A" + bytes({0x95, 0x34, 0xB2, 0x35}) + "-" + bytes({0x94, 0x39, 0xFC, 0x36}) + "Z");
    Converted back = convert(engineCharset(), "UTF-16LE", engine.bytes);
    EXPECT_EQ(back.result, 0);
    EXPECT_EQ(back.bytes, RARE_UTF16LE);
    // The same through the marked decoder the package reader uses.
    EXPECT_EQ(convert("UTF-16", engineCharset(), "\xFF\xFE" + RARE_UTF16LE).bytes, engine.bytes);
}

TEST(ConvertCharset, CharactersTheTargetLacksAreDropped) {
    Converted c = convert("UTF-16LE", "GBK", RARE_UTF16LE);
    EXPECT_GE(c.result, 0);
    EXPECT_EQ(c.bytes, "A-Z");
    // Undecodable input is skipped too: a stray UTF-8 byte and unpaired surrogates.
    EXPECT_EQ(convert("UTF-8", "GBK",
                      "A\xFF"
                      "B")
                  .bytes,
              "AB");
    EXPECT_EQ(convert("UTF-16LE", "UTF-8", bytes({'A', 0, 0x00, 0xD8, 'B', 0, 0x00, 0xDC, 'C', 0})).bytes,
              "ABC");
}

TEST(ConvertCharset, OutputIsZeroFilledAndNeverOverrun) {
    Converted roomy = convert("UTF-8", "GBK", TITLE_UTF8, 32);
    EXPECT_EQ(roomy.result, 0);
    for (size_t i = TITLE_GBK.size(); i < 32; i++)
        EXPECT_EQ(roomy.buffer[i], 0) << i;

    Converted exact = convert("UTF-8", "GBK", TITLE_UTF8, static_cast<int>(TITLE_GBK.size()));
    EXPECT_EQ(exact.result, 0);
    EXPECT_EQ(exact.bytes, TITLE_GBK);

    // Too small: a failure, with the whole characters that fit and nothing after them.
    Converted small = convert("UTF-8", "GBK", TITLE_UTF8, 5);
    EXPECT_EQ(small.result, -1);
    EXPECT_EQ(small.bytes, TITLE_GBK.substr(0, 4));
    EXPECT_EQ(small.buffer[4], 0);

    Converted none = convert("UTF-8", "UTF-16LE", "AB", 0);
    EXPECT_EQ(none.result, -1);
    EXPECT_EQ(none.bytes, "");
}

TEST(ConvertCharset, InputCutInsideACharacterFails) {
    Converted odd = convert("UTF-16LE", "UTF-8", bytes({'A', 0, 'B'}));
    EXPECT_EQ(odd.result, -1);
    EXPECT_EQ(odd.bytes, "A");
    Converted utf8 = convert("UTF-8", "UTF-16LE", "A\xE5\xAE");
    EXPECT_EQ(utf8.result, -1);
    EXPECT_EQ(utf8.bytes, bytes({'A', 0}));
    EXPECT_EQ(convert("GBK", "UTF-8", "A\xB1").result, -1);
    EXPECT_EQ(convert("UTF-8", "GBK", "").result, 0);
}

TEST(ConvertCharset, LongTextsConvertWhole) {
    // A package-sized text with a pair of surrogates and a character GBK lacks at many places,
    // so that every way the text can be split into pieces meets one.
    std::string utf16;
    std::string gbk;
    for (int i = 0; i < 20000; i++) {
        if (i % 997 == 0 || (i > 4090 && i < 4100)) {
            utf16 += bytes({0x3D, 0xD8, 0x00, 0xDE}); // U+1F600, two units
        } else if (i % 3 == 0) {
            utf16 += TITLE_UTF16LE.substr(0, 2);
            gbk += TITLE_GBK.substr(0, 2);
        } else {
            utf16 += bytes({'a', 0});
            gbk += 'a';
        }
    }
    Converted toGbk = convert("UTF-16LE", "GBK", utf16);
    EXPECT_EQ(toGbk.result, 0);
    EXPECT_TRUE(toGbk.bytes == gbk) << "lengths " << toGbk.bytes.size() << " and " << gbk.size();

    Converted toUtf8 = convert("UTF-16LE", "UTF-8", utf16);
    Converted back = convert("UTF-8", "UTF-16LE", toUtf8.bytes);
    EXPECT_EQ(back.result, 0);
    EXPECT_TRUE(back.bytes == utf16);

    if (engineHasEveryCharacter()) {
        Converted engine = convert("UTF-16LE", "GB18030", utf16);
        Converted again = convert("GB18030", "UTF-16LE", engine.bytes);
        EXPECT_EQ(again.result, 0);
        EXPECT_TRUE(again.bytes == utf16);
    }
}

TEST(ConvertCharsetDeathTest, MissingGb18030IsLoggedOnce) {
    if (engineHasEveryCharacter()) GTEST_SKIP() << "this system has GB18030";
    // In a process of its own, so that the note has not been written yet.
    EXPECT_EXIT(
        {
            std::string dir = makeTempDir("fallback");
            copyBounded(appDir, sizeof appDir, dir.c_str());
            if (!openLog()) std::exit(2);
            for (int i = 0; i < 3; i++) {
                convert("UTF-16LE", engineCharset(), RARE_UTF16LE);
                convert("UTF-8", "GB18030", TITLE_UTF8);
            }
            std::string log = readWholeFile(joinPath(dir, "app.log"));
            size_t lines = 0;
            for (size_t at = log.find("\r\n"); at != std::string::npos; at = log.find("\r\n", at + 1))
                lines++;
            std::fprintf(stderr, "log: %s", engineToUtf8(log).c_str());
            std::exit(lines == 1 && log.find("54936") != std::string::npos ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
