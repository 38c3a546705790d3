// Tests of convertCharset and the engine's codec on every platform: names, byte-order marks, lost
// characters, bounded output, and the round trip of every UTF-16 unit through engine text.
#include "core/charset.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <utility>
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
         {std::make_pair("NO-SUCH-CHARSET", "UTF-8"), std::make_pair("UTF-8", "NO-SUCH-CHARSET"),
          std::make_pair("NO-SUCH-CHARSET", "GB18030"), std::make_pair("GB18030", "NO-SUCH-CHARSET")}) {
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
    EXPECT_STREQ(engineCharset(), "GB18030");
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
    // The same between the engine's text and GBK, which the platform converts.
    Converted gbk = convert("GB18030", "GBK", convert("UTF-16LE", "GB18030", RARE_UTF16LE).bytes);
    EXPECT_GE(gbk.result, 0);
    EXPECT_EQ(gbk.bytes, "A-Z");
    EXPECT_EQ(convert("GBK", "GB18030", TITLE_GBK).bytes, TITLE_GBK);
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

    Converted engine = convert("UTF-16LE", "GB18030", utf16);
    Converted again = convert("GB18030", "UTF-16LE", engine.bytes);
    EXPECT_EQ(again.result, 0);
    EXPECT_TRUE(again.bytes == utf16);
}

namespace {

// UTF-16LE bytes of the given code units.
std::string utf16le(const std::vector<unsigned>& units) {
    std::string out;
    for (unsigned unit : units) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
    }
    return out;
}

std::string fromHex(const char* hex) {
    std::string out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out.push_back(static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return out;
}

std::string toHex(const std::string& bytes) {
    std::string out;
    char two[3];
    for (unsigned char b : bytes) {
        std::snprintf(two, sizeof two, "%02X", b);
        out += two;
    }
    return out;
}

bool isDigit(unsigned char b) {
    return b >= 0x30 && b <= 0x39;
}
bool isLead(unsigned char b) {
    return b >= 0x81 && b <= 0xFE;
}

// Whether the bytes are exactly one GB18030 character: one byte below 80, two bytes (lead 81-FE,
// trail 40-FE but not 7F), or four (lead, digit, lead, digit). Whatever walks the engine's text
// character by character relies on this shape.
bool isOneCharacter(const std::string& code) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(code.data());
    switch (code.size()) {
    case 1:
        return b[0] < 0x80;
    case 2:
        return isLead(b[0]) && b[1] >= 0x40 && b[1] <= 0xFE && b[1] != 0x7F;
    case 4:
        return isLead(b[0]) && isDigit(b[1]) && isLead(b[2]) && isDigit(b[3]);
    default:
        return false;
    }
}

std::vector<unsigned> pairOf(unsigned cp) {
    return {0xD800 + ((cp - 0x10000) >> 10), 0xDC00 + ((cp - 0x10000) & 0x3FF)};
}

std::string utf8Of(unsigned cp) {
    std::string out;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | cp >> 6));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | cp >> 12));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | cp >> 18));
        out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    return out;
}

// The private-use characters of the two-byte table that other GB18030 converters give to
// standard characters instead, with their codes.
const std::pair<unsigned, const char*> PRIVATE_USE_CODES[] = {
    {0xE78D, "A6D9"}, {0xE78E, "A6DA"}, {0xE78F, "A6DB"}, {0xE790, "A6DC"}, {0xE791, "A6DD"},
    {0xE792, "A6DE"}, {0xE793, "A6DF"}, {0xE794, "A6EC"}, {0xE795, "A6ED"}, {0xE796, "A6F3"},
    {0xE816, "FE51"}, {0xE817, "FE52"}, {0xE818, "FE53"}, {0xE81E, "FE59"}, {0xE826, "FE61"},
    {0xE82B, "FE66"}, {0xE82C, "FE67"}, {0xE831, "FE6C"}, {0xE832, "FE6D"}, {0xE83B, "FE76"},
    {0xE843, "FE7E"}, {0xE854, "FE90"}, {0xE855, "FE91"}, {0xE864, "FEA0"},
};

} // namespace

TEST(Gb18030, EveryBmpCodeUnitAloneRoundTripsAsOneWholeCharacter) {
    int failures = 0;
    for (unsigned unit = 0; unit < 0x10000; unit++) {
        const std::string in = utf16le({unit});
        Converted engine = convert("UTF-16LE", "GB18030", in);
        Converted back = convert("GB18030", "UTF-16LE", engine.bytes);
        if (engine.result != 0 || back.result != 0 || back.bytes != in || !isOneCharacter(engine.bytes)) {
            if (++failures <= 10)
                ADD_FAILURE() << "U+" << std::hex << unit << " became " << toHex(engine.bytes);
        }
    }
    EXPECT_EQ(failures, 0);
    // Fixed points: GBK's own codes, the ends of the four-byte BMP range, the code units no
    // character set holds alone right after it, and characters that GB18030 versions disagree on.
    const std::pair<unsigned, const char*> codes[] = {
        {0x0080, "81308130"}, {0x00B7, "A1A4"},     {0x20AC, "A2E3"},     {0x3000, "A1A1"},
        {0x5B9D, "B1A6"},     {0xE5E5, "A3A0"},     {0xE7C7, "A8BC"},     {0x1E3F, "8135F437"},
        {0xFE10, "84318236"}, {0x9FB4, "82359037"}, {0xFFFF, "8431A439"}, {0xD800, "8431A530"},
        {0xDFFF, "8432F337"},
    };
    for (const auto& code : codes) {
        EXPECT_EQ(toHex(convert("UTF-16LE", "GB18030", utf16le({code.first})).bytes), code.second)
            << std::hex << code.first;
    }
}

TEST(Gb18030, CharactersGbkHoldsKeepTheirGbkBytes) {
    int gbkCharacters = 0;
    for (unsigned unit = 0x80; unit < 0x10000; unit++) {
        // Private use is left out: the Windows code page gives user-defined codes to private-use
        // characters where GB18030 has standard ones (A2E3, the euro sign, for one).
        if (unit >= 0xD800 && unit <= 0xF8FF) continue;
        const std::string in = utf16le({unit});
        const std::string gbk = convert("UTF-16LE", "GBK", in).bytes;
        // The euro sign's single byte 80 of the Windows code page is no GB18030 code.
        if (gbk.empty() || gbk == "\x80") continue;
        gbkCharacters++;
        EXPECT_EQ(toHex(convert("UTF-16LE", "GB18030", in).bytes), toHex(gbk)) << "U+" << std::hex << unit;
    }
    EXPECT_GT(gbkCharacters, 21000);
}

TEST(Gb18030, EverySixtyFourthSupplementaryCharacterRoundTrips) {
    EXPECT_EQ(toHex(convert("UTF-16LE", "GB18030", utf16le(pairOf(0x10000))).bytes), "90308130");
    EXPECT_EQ(toHex(convert("UTF-16LE", "GB18030", utf16le(pairOf(0x10FFFF))).bytes), "E3329A35");
    int failures = 0;
    std::string previous;
    for (unsigned cp = 0x10000; cp <= 0x10FFFF; cp = cp == 0x10FFC0 ? 0x10FFFF : cp + 64) {
        const std::string pair = utf16le(pairOf(cp));
        Converted engine = convert("UTF-16LE", "GB18030", pair);
        bool ok = engine.result == 0 && engine.bytes.size() == 4 && isOneCharacter(engine.bytes) &&
                  engine.bytes > previous && convert("GB18030", "UTF-16LE", engine.bytes).bytes == pair &&
                  convert("UTF-8", "GB18030", utf8Of(cp)).bytes == engine.bytes &&
                  convert("GB18030", "UTF-8", engine.bytes).bytes == utf8Of(cp);
        if (!ok && ++failures <= 10)
            ADD_FAILURE() << "U+" << std::hex << cp << " became " << toHex(engine.bytes);
        previous = engine.bytes;
    }
    EXPECT_EQ(failures, 0);
}

TEST(Gb18030, PrivateUseCharactersOfTheTwoByteTableSurvive) {
    std::vector<unsigned> all;
    std::string allCodes;
    for (const auto& code : PRIVATE_USE_CODES) {
        SCOPED_TRACE(code.second);
        Converted engine = convert("UTF-16LE", "GB18030", utf16le({code.first}));
        EXPECT_EQ(engine.result, 0);
        EXPECT_EQ(toHex(engine.bytes), code.second);
        EXPECT_EQ(convert("GB18030", "UTF-16LE", fromHex(code.second)).bytes, utf16le({code.first}));
        EXPECT_EQ(convert("GB18030", "UTF-8", convert("UTF-8", "GB18030", utf8Of(code.first)).bytes).bytes,
                  utf8Of(code.first));
        all.push_back(code.first);
        allCodes += fromHex(code.second);
    }
    // Side by side with the standard characters that other converters put at the same codes.
    for (unsigned unit : {0xFE10u, 0xFE19u, 0x9FB4u, 0x9FBBu})
        all.push_back(unit);
    for (unsigned unit : pairOf(0x20087))
        all.push_back(unit);
    Converted engine = convert("UTF-16LE", "GB18030", utf16le(all));
    EXPECT_EQ(engine.bytes.substr(0, allCodes.size()), allCodes);
    EXPECT_EQ(convert("GB18030", "UTF-16LE", engine.bytes).bytes, utf16le(all));
}

TEST(Gb18030, RandomCodeUnitSequencesRoundTrip) {
    std::mt19937 random(18030);
    // Units of every kind, lone surrogates of both halves among them.
    auto unitOfAnyKind = [&random]() -> unsigned {
        switch (random() % 6) {
        case 0:
            return random() % 0x80;
        case 1:
            return 0xD800 + random() % 0x400; // high surrogate
        case 2:
            return 0xDC00 + random() % 0x400; // low surrogate
        case 3:
            return 0x4E00 + random() % 0x5200; // CJK
        default:
            return random() % 0x10000;
        }
    };
    for (int round = 0; round < 3000; round++) {
        std::vector<unsigned> units(random() % 24);
        for (unsigned& unit : units)
            unit = unitOfAnyKind();
        const std::string in = utf16le(units);
        Converted engine = convert("UTF-16LE", "GB18030", in);
        Converted back = convert("GB18030", "UTF-16LE", engine.bytes);
        ASSERT_EQ(engine.result, 0) << toHex(in);
        ASSERT_EQ(back.result, 0) << toHex(in);
        ASSERT_EQ(toHex(back.bytes), toHex(in));
        // The package reader's spelling: big-endian behind its mark.
        std::string big = "\xFE\xFF";
        for (size_t i = 0; i < in.size(); i += 2)
            big += std::string{in[i + 1], in[i]};
        ASSERT_EQ(convert("UTF-16", "GB18030", big).bytes, engine.bytes) << toHex(in);
    }
    // Long texts, so that the codec's inner blocks end at every kind of unit: at each shift, a
    // run of surrogates of both halves, paired and not, starts just before a block's end.
    for (unsigned shift = 0; shift < 6; shift++) {
        std::vector<unsigned> units(4090 + shift, 'x');
        for (int i = 0; i < 20000; i++)
            units.push_back(i % 7 == 0 ? 'a' : unitOfAnyKind());
        const std::string in = utf16le(units);
        Converted engine = convert("UTF-16LE", "GB18030", in);
        Converted back = convert("GB18030", "UTF-16LE", engine.bytes);
        EXPECT_EQ(engine.result, 0);
        EXPECT_EQ(back.result, 0);
        EXPECT_TRUE(back.bytes == in) << "shift " << shift;
    }
}

TEST(Gb18030, AsciiRunsKeepTheirBytesAcrossTheWideSteps) {
    // ASCII runs of 0 to 40 units, after 0, 1 or 3 CJK units, with one unit that is not ASCII (or
    // looks it in one byte) at each place, so that the codec's sixteen-unit steps stop at, before
    // and after it; a pair cut by the run's end and a lone surrogate close some runs.
    const std::vector<std::vector<unsigned>> odds = {{0x80},   {0x141},          {0xFF00},
                                                     {0x4E00}, {0xD83D, 0xDE00}, {0xDC00}};
    auto engineBytes = [](const std::vector<unsigned>& units) {
        return convert("UTF-16LE", "GB18030", utf16le(units));
    };
    for (size_t lead : {0, 1, 3}) {
        for (size_t length = 0; length <= 40; length++) {
            for (size_t at = 0; at <= length; at++) {
                for (const std::vector<unsigned>& odd : odds) {
                    std::vector<unsigned> units(lead, 0x4E01);
                    std::string expected = engineBytes(units).bytes;
                    for (size_t k = 0; k <= length; k++) {
                        if (k == at) {
                            units.insert(units.end(), odd.begin(), odd.end());
                            expected += engineBytes(odd).bytes;
                        }
                        if (k == length) break;
                        units.push_back('a' + k % 26);
                        expected += static_cast<char>('a' + k % 26);
                    }
                    const Converted engine = engineBytes(units);
                    ASSERT_EQ(engine.result, 0);
                    ASSERT_EQ(toHex(engine.bytes), toHex(expected)) << lead << " " << length << " " << at;
                }
            }
        }
    }
}

TEST(Gb18030, InputThatDoesNotDecodeIsDroppedAndCounted) {
    // 80 and FF lead nothing; 7F and a non-digit are no second bytes (their lead alone goes); a
    // well-formed four-byte code that no character has goes whole.
    Converted c = convert("GB18030", "UTF-8",
                          "A\x80"
                          "B\xFF"
                          "C\x81\x7F"
                          "D\x81\x30\x20"
                          "E" +
                              fromHex("8432F338") + "F" + fromHex("FE39FE39") + "G");
    EXPECT_EQ(c.bytes, "AB"
                       "C\x7F"
                       "D0 EFG");
    EXPECT_EQ(c.result, 6);
    // UTF-8 that does not decode: an overlong slash, an encoded surrogate, a stray continuation.
    Converted u = convert("UTF-8", "GB18030",
                          "A\xC0\xAF"
                          "B\xED\xA0\x80"
                          "C\x80"
                          "D");
    EXPECT_EQ(u.bytes, "ABCD");
    EXPECT_GT(u.result, 0);
    // Unpaired surrogates have no UTF-8 form; two surrogate codes side by side are a pair again.
    Converted lone = convert("GB18030", "UTF-8", "<" + fromHex("8431A530") + ">");
    EXPECT_EQ(lone.bytes, "<>");
    EXPECT_EQ(lone.result, 1);
    EXPECT_EQ(convert("GB18030", "UTF-8", fromHex("8431A530") + fromHex("84328D34")).bytes, utf8Of(0x10000));

    // Whatever the bytes, the output stays in its buffer and what was decoded round-trips.
    std::mt19937 random(54936);
    for (int round = 0; round < 2000; round++) {
        std::string bytes(random() % 16, '\0');
        for (char& b : bytes)
            b = static_cast<char>(random() % 3 ? 0x80 + random() % 0x80 : random() % 0x80);
        Converted decoded = convert("GB18030", "UTF-16LE", bytes);
        Converted again = convert("GB18030", "UTF-16LE", convert("UTF-16LE", "GB18030", decoded.bytes).bytes);
        ASSERT_EQ(again.bytes, decoded.bytes) << toHex(bytes);
    }
}

TEST(Gb18030, CutCharacterOrFullOutputFailsAfterTheWholeCharacters) {
    for (const char* cut : {"81", "8130", "813081", "9534B2"}) {
        Converted c = convert("GB18030", "UTF-16LE", "A" + fromHex(cut));
        EXPECT_EQ(c.result, -1) << cut;
        EXPECT_EQ(c.bytes, utf16le({'A'})) << cut;
    }
    // Not a cut: a lead, a digit and a byte that no four-byte code has.
    EXPECT_EQ(convert("GB18030", "UTF-16LE", "A\x81\x30\x30").bytes, utf16le({'A', '0', '0'}));
    EXPECT_EQ(convert("UTF-8", "GB18030", "A\xF0\x9F\x98").result, -1);
    EXPECT_EQ(convert("UTF-16LE", "GB18030", utf16le({'A'}) + "B").result, -1);

    // A four-byte character that does not fit is not begun.
    const std::string text = utf16le({'A', 0xD83D, 0xDE00});
    Converted small = convert("UTF-16LE", "GB18030", text, 4);
    EXPECT_EQ(small.result, -1);
    EXPECT_EQ(small.bytes, "A");
    EXPECT_EQ(std::string(small.buffer.begin(), small.buffer.begin() + 4), std::string("A\0\0\0", 4));
    Converted exact = convert("UTF-16LE", "GB18030", text, 5);
    EXPECT_EQ(exact.result, 0);
    EXPECT_EQ(toHex(exact.bytes), "419439FC36");
    Converted pair = convert("GB18030", "UTF-16LE", exact.bytes, 4);
    EXPECT_EQ(pair.result, -1);
    EXPECT_EQ(pair.bytes, utf16le({'A'}));
}

TEST(ConvertText, SizesTheWholeResultItselfAndEmptiesItOnFailure) {
    // Unpaired surrogates take four engine bytes for every two input bytes, the most any pair of
    // the program's charsets grows; the result is exact, round trips, and keeps embedded NULs.
    std::string lone;
    for (int i = 0; i < 1000; i++)
        lone += std::string("\x00\xD8", 2);
    std::string engine;
    ASSERT_GE(convertText("UTF-16LE", "GB18030", lone.data(), lone.size(), &engine), 0);
    EXPECT_EQ(engine.size(), 4000u);
    std::string back = "stale";
    ASSERT_GE(convertText("GB18030", "UTF-16LE", engine.data(), engine.size(), &back), 0);
    EXPECT_EQ(back, lone);
    ASSERT_GE(convertText("UTF-8", "UTF-16LE", "a\0b", 3, &back), 0);
    EXPECT_EQ(back, std::string("a\0\0\0b\0", 6));
    ASSERT_GE(convertText("UTF-8", "UTF-16LE", "", 0, &back), 0);
    EXPECT_EQ(back, "");

    std::string failed = "stale";
    EXPECT_EQ(convertText("NO-SUCH-CHARSET", "UTF-8", "abc", 3, &failed), -1);
    EXPECT_EQ(failed, "");
    failed = "stale";
    EXPECT_EQ(convertText("GB18030", "UTF-8", "\x81", 1, &failed), -1); // cut inside a character
    EXPECT_EQ(failed, "");
}
