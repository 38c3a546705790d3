// Tests of reading packages: rows, columns, image addresses, encodings and refused packages.
#include "package/addresses.h"
#include "package/reader.h"

#include "core/appdir.h"
#include "core/applog.h"
#include "core/charset.h"
#include "core/text.h"
#include "package/item.h"
#include "support/fakewindow.h"
#include "support/testfiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

std::string q(const std::string& text) {
    return csvQuoted(text);
}

std::string join(const Strings& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); i++)
        out += (i ? "\t" : "") + fields[i];
    return out;
}

// A package in UTF-8 text: a version line, the header and the rows, each line ended by lineEnd.
std::string packageText(const Strings& header, const std::vector<Strings>& rows,
                        const std::string& lineEnd = "\r\n") {
    std::string text = "version 1.00" + lineEnd + join(header) + lineEnd;
    for (const Strings& row : rows)
        text += join(row) + lineEnd;
    return text;
}

const Strings HEADER = {"宝贝名称", "宝贝价格", "宝贝描述", "无线详情", "宝贝卖点", "商家编码"};

Strings row(const std::string& title, const std::string& description, const std::string& mobile = "",
            const std::string& selling = "") {
    return {q(title), "9.90", q(description), q(mobile), q(selling), q("SKU")};
}

std::string img(const std::string& address) {
    return "<img align=\"absmiddle\" src=\"" + address + "\">";
}

std::string wap(const Strings& addresses) {
    std::string out = "<wapDesc>";
    for (const std::string& a : addresses)
        out += "<img>" + a + "</img>";
    return out + "<txt>x</txt></wapDesc>";
}

Strings toUtf8(const ArrayList* list) {
    Strings out;
    for (int32_t i = 0; list && i < list->count; i++)
        out.push_back(engineToUtf8(static_cast<char*>(list->items[i])));
    return out;
}

// One read of a package file in a scratch folder; everything is released afterwards.
struct Read {
    std::string dir = makeTempDir("reader");
    std::string path = joinPath(dir, "package.csv");
    ArrayList* items = arrayListCreate(256, 64);
    char* text = nullptr;
    int result = -1;

    explicit Read(const std::string& bytes, int secureMode = 0) {
        writeWholeFile(path, bytes);
        result = readPackage(path.c_str(), items, &text, secureMode);
    }
    ~Read() {
        clearItems(items);
        arrayListDestroy(items, 0);
        std::free(text);
        removeTree(dir);
    }
    const Item* item(int i) const { return static_cast<const Item*>(arrayListGet(items, i)); }
    std::string title(int i) const { return engineToUtf8(item(i)->title); }
    Strings desc(int i) const { return toUtf8(item(i)->descImages); }
    Strings mobile(int i) const { return toUtf8(item(i)->mobileImages); }
    std::string utf8Text() const { return engineToUtf8(text); }
};

std::string utf16(const std::string& utf8) {
    return utf8ToUtf16leWithBom(utf8);
}

// The address lists that one pattern finds in a description field.
Strings collect(const std::string& field, const char* pattern, int secureMode = 0) {
    ArrayList* list = arrayListCreate(32, 16);
    EXPECT_EQ(collectImageRefs(utf8ToEngine(field).c_str(), list, pattern, secureMode), 1);
    Strings out = toUtf8(list);
    arrayListDestroy(list, 1);
    return out;
}

Strings collectMobile(const std::string& field, int secureMode = 0) {
    ArrayList* list = arrayListCreate(16, 8);
    EXPECT_EQ(collectMobileImageRefs(utf8ToEngine(field).c_str(), list, secureMode), 1);
    Strings out = toUtf8(list);
    arrayListDestroy(list, 1);
    return out;
}

Strings collectDescription(const std::string& field, int secureMode = 0) {
    ArrayList* list = arrayListCreate(32, 16);
    std::string engine = utf8ToEngine(field);
    for (const char* pattern : DESC_IMAGE_PATTERNS)
        EXPECT_EQ(collectImageRefs(engine.c_str(), list, pattern, secureMode), 1);
    Strings out = toUtf8(list);
    arrayListDestroy(list, 1);
    return out;
}

const std::string A = "http://img.alicdn.com/imgextra/i1/1/a.jpg";
const std::string B = "http://img.alicdn.com/imgextra/i2/1/b.png";
const std::string C = "http://shop.example.cn/c.gif";

TEST(ReaderFirstBytes, RefusedOrSkippedBeforeDecoding) {
    const std::string valid = packageText(HEADER, {row("杯子", img(A))});
    EXPECT_EQ(Read(utf16(valid)).result, 1);

    // The title column's name straight after the mark: a package saved again by another program.
    EXPECT_EQ(Read(utf16(join(HEADER) + "\r\n" + join(row("杯子", img(A))) + "\r\n")).result, 0);
    EXPECT_EQ(Read("version 1.00\r\n" + join(HEADER)).result, 0) << "8-bit text";

    Read utf8Mark("\xEF\xBB\xBF" + utf16(valid));
    ASSERT_EQ(utf8Mark.result, 1);
    EXPECT_EQ(utf8Mark.desc(0), Strings{A});

    std::string noMark = utf16(valid).substr(2);
    EXPECT_EQ(Read(noMark).result, 0) << "without the mark the text is big-endian and has no header";
    EXPECT_EQ(Read("").result, 0);
    EXPECT_EQ(Read("\xFF\xFE").result, 0);
    EXPECT_EQ(Read(utf16("version 1.00\r\n宝贝名称")).result, 0) << "no line break after the header";
    EXPECT_EQ(Read(utf16(valid) + "x").result, 0) << "odd length";
}

TEST(ReaderFirstBytes, FailuresLeaveTheCallersStateAlone) {
    std::string dir = makeTempDir("reader-missing");
    ArrayList* items = arrayListCreate(4, 4);
    char sentinel[] = "untouched";
    char* text = sentinel;
    EXPECT_EQ(readPackage(joinPath(dir, "missing.csv").c_str(), items, &text, 0), 0);
    EXPECT_EQ(readPackage(dir.c_str(), items, &text, 0), 0) << "a folder";
    EXPECT_NE(std::strlen(lastReadFailure()), 0u);

    // A read that fails in a later row releases the items it had already made.
    std::string path = joinPath(dir, "late.csv");
    writeWholeFile(path, utf16(packageText(HEADER, {row("一", img(A)), row("二", img(B))}) + "\"三\"\t1"));
    EXPECT_EQ(readPackage(path.c_str(), items, &text, 0), 0);
    EXPECT_EQ(items->count, 0);
    EXPECT_EQ(text, sentinel);
    arrayListDestroy(items, 0);
    removeTree(dir);
}

TEST(ReaderRows, LastRowEndings) {
    const std::string body = packageText(HEADER, {row("一", img(A)), row("二", img(B))});
    EXPECT_EQ(Read(utf16(body)).items->count, 2) << "CR LF";
    EXPECT_EQ(Read(utf16(body + "\r")).items->count, 2) << "a lone CR after the last line break";
    EXPECT_EQ(Read(utf16(body + "\r\n\r\n")).items->count, 2) << "blank lines at the end";
    EXPECT_EQ(Read(utf16(packageText(HEADER, {row("一", img(A))}, "\n"))).items->count, 1) << "LF alone";

    std::string unterminated = body.substr(0, body.size() - 2);
    EXPECT_EQ(Read(utf16(unterminated)).result, 0) << "no line break after the last row";
    EXPECT_EQ(Read(utf16(body + q("三") + "\t1\t" + q(img(C)))).result, 0) << "a last row cut short";
    // An empty title with more text after it would silently drop every later row.
    EXPECT_EQ(Read(utf16(body + "\t" + join(row("四", img(C))) + "\r\n")).result, 0);
}

TEST(ReaderRows, HeaderWithoutRowsIsAnEmptyPackage) {
    Read read(utf16("version 1.00\r\n" + join(HEADER) + "\r\n"));
    EXPECT_EQ(read.result, 1);
    EXPECT_EQ(read.items->count, 0);
    ASSERT_NE(read.text, nullptr);
}

TEST(ReaderRows, TitleLengthLimit) {
    // 62 two-byte characters and one letter: 125 bytes of engine text.
    std::string title125 = std::string("a");
    for (int i = 0; i < 62; i++)
        title125 += "杯";
    ASSERT_EQ(utf8ToEngine(title125).size(), 125u);
    std::string title126 = title125 + "b";

    Read ok(utf16(packageText(HEADER, {row(title125, ""), row(title125, img(A))})));
    ASSERT_EQ(ok.result, 1);
    EXPECT_EQ(ok.title(0), title125);
    EXPECT_EQ(ok.title(1), title125);
    EXPECT_EQ(Read(utf16(packageText(HEADER, {row(title126, "")}))).result, 0) << "first row";
    EXPECT_EQ(Read(utf16(packageText(HEADER, {row("一", ""), row(title126, "")}))).result, 0) << "later row";

    Read quoted(utf16(packageText(HEADER, {row("杯 \"大号\"", "")})));
    EXPECT_EQ(quoted.title(0), "杯 \"\"大号\"\"") << "doubled quotes stay doubled";
}

TEST(ReaderRows, FreeTextFieldsAreTakenWhole) {
    const std::string description = "<p>a\tb\r\nc \"d\"</p>" + img(A) + "\t\r\n" + img(B);
    const std::string selling = "卖点\t一\r\n二";
    Read read(utf16(packageText(HEADER, {row("一", description, wap({C}), selling), row("二", img(C))})));
    ASSERT_EQ(read.result, 1);
    ASSERT_EQ(read.items->count, 2);
    EXPECT_EQ(read.desc(0), (Strings{A, B}));
    EXPECT_EQ(read.mobile(0), Strings{C});
    EXPECT_EQ(read.title(1), "二");
    EXPECT_EQ(read.desc(1), Strings{C});

    // The same TAB in an ordinary column splits it and shifts the row onto the wrong fields.
    Strings shifted = row("一", img(A));
    shifted[1] = q("9\t90");
    EXPECT_EQ(Read(utf16(packageText(HEADER, {shifted}))).result, 0);
}

TEST(ReaderColumns, KnownColumns) {
    Read noMobile(utf16(packageText({"宝贝名称", "宝贝描述", "宝贝价格"},
                                    {{q("一"), q(img(A)), "1"}, {q("二"), q(wap({B})), "2"}})));
    ASSERT_EQ(noMobile.result, 1);
    ASSERT_EQ(noMobile.items->count, 2);
    EXPECT_EQ(noMobile.item(0)->mobileImages, nullptr);
    EXPECT_EQ(noMobile.item(1)->mobileImages, nullptr);
    EXPECT_EQ(noMobile.desc(1), Strings{}) << "mobile markup in a description yields nothing";

    EXPECT_EQ(
        Read(utf16(packageText({"宝贝名称", "宝贝价格", "无线详情", "x"}, {{q("一"), "1", q(""), "2"}})))
            .result,
        0)
        << "no description column";
    // The mobile column's name comes last: with CR LF it carries the CR and is not found.
    Read lastName(
        utf16(packageText({"宝贝名称", "宝贝描述", "无线详情"}, {{q("一"), q(img(A)), q(wap({B}))}})));
    ASSERT_EQ(lastName.result, 1);
    EXPECT_EQ(lastName.item(0)->mobileImages, nullptr);
}

TEST(ReaderColumns, SellingPointsLastNameCarriesTheLineEnd) {
    const Strings header = {"宝贝名称", "宝贝描述", "宝贝卖点"};
    const std::vector<Strings> rows = {{q("一"), q(img(A)), q("卖点\t二")}, {q("二"), q(img(B)), q("")}};
    // With CR LF the last name is "宝贝卖点" plus CR: the field is not taken whole and its TAB
    // breaks the row.
    EXPECT_EQ(Read(utf16(packageText(header, rows))).result, 0);
    // With LF alone (Taobao Assistant 5.x) the column is found.
    Read lf(utf16(packageText(header, rows, "\n")));
    ASSERT_EQ(lf.result, 1);
    EXPECT_EQ(lf.items->count, 2);
    EXPECT_EQ(lf.desc(1), Strings{B});
}

TEST(ReaderText, WebpSuffixIsRemovedEverywhere) {
    Read read(utf16(
        packageText(HEADER, {row("杯_.webp子", img(A + "_.webp") + "x_.webp_.webp", wap({B + "_.webp"}))})));
    ASSERT_EQ(read.result, 1);
    EXPECT_EQ(read.utf8Text().find("_.webp"), std::string::npos);
    EXPECT_EQ(read.title(0), "杯子");
    EXPECT_EQ(read.desc(0), Strings{A});
    EXPECT_EQ(read.mobile(0), Strings{B});
}

TEST(ReaderText, EveryCharacterSurvivesTheRoundTrip) {
    const std::string title = "杯子😀𠀀"; // an emoji and a CJK Extension B character, outside GBK
    const std::string body = packageText(HEADER, {row(title, img(A) + "<p>𠀀</p>")});
    Read read(utf16(body));
    ASSERT_EQ(read.result, 1);
    EXPECT_EQ(read.title(0), title);

    // Encoding the package text back gives the file's code points exactly.
    size_t n = std::strlen(read.text);
    std::string back(n * 2 + 2, '\0');
    int produced = 0;
    ASSERT_GE(convertCharset(engineCharset(), "UTF-16LE", read.text, static_cast<int>(n), &back[0],
                             static_cast<int>(back.size()), &produced),
              0);
    back.resize(static_cast<size_t>(produced));
    EXPECT_EQ("\xFF\xFE" + back, utf16(body));
}

TEST(ReaderText, PiecesOfALargePackageDecodeAsOne) {
    // A run of surrogate pairs across the first piece's end, once at each alignment, with and
    // without the UTF-8 mark in front (which makes the first piece's UTF-16 part odd).
    std::string emoji;
    for (int i = 0; i < 64; i++)
        emoji += "😀";
    const std::string title = "一😀";
    const std::string before = "version 1.00\r\n" + join(HEADER) + "\r\n" + q(title) + "\t9.90\t\"<p>";
    const size_t beforeBytes = utf16(before).size();
    for (int shift = 0; shift < 2; shift++) {
        // The run starts 128 bytes (32 pairs) before the piece's end, moved by one code unit.
        const size_t fillerBytes = PACKAGE_DECODE_PIECE_SIZE - 128 + 2 * shift - beforeBytes;
        const std::string filler(fillerBytes / 2, 'x');
        const std::string body = packageText(
            HEADER, {row(title, "<p>" + filler + emoji + "</p>" + img(A)), row("二", img(B) + emoji)});
        ASSERT_EQ(body.find(filler), before.size());
        for (const std::string& mark : {std::string(), std::string("\xEF\xBB\xBF")}) {
            SCOPED_TRACE(shift);
            Read read(mark + utf16(body));
            ASSERT_EQ(read.result, 1);
            EXPECT_EQ(read.utf8Text(), body);
            EXPECT_EQ(read.desc(0), Strings{A});
            EXPECT_EQ(read.title(1), "二");
        }
    }
}

TEST(ReaderText, WebpSuffixCutByAPieceEndIsRemovedAsInOneText) {
    // A suffix, and "_." + "_.webp" + "webp", whose removal joins a suffix that stays (one pass,
    // as over a whole text), each cut by the first piece's end at every place.
    auto removedOnce = [](const std::string& text) {
        std::string out;
        size_t at = 0;
        for (size_t hit; (hit = text.find("_.webp", at)) != std::string::npos; at = hit + 6)
            out += text.substr(at, hit - at);
        return out + text.substr(at);
    };
    const std::string before = "version 1.00\r\n" + join(HEADER) + "\r\n" + q("一") + "\t9.90\t\"<p>";
    for (const std::string suffixes : {"_.webp", "_._.webpwebp"}) {
        for (size_t shift = 1; shift < suffixes.size(); shift++) {
            const std::string filler((PACKAGE_DECODE_PIECE_SIZE - utf16(before).size()) / 2 - shift, 'x');
            const std::string body =
                packageText(HEADER, {row("一", "<p>" + filler + suffixes + "</p>" + img(A + "_.webp"))});
            ASSERT_EQ(body.find(filler), before.size());
            SCOPED_TRACE(suffixes + " cut after " + std::to_string(suffixes.size() - shift));
            Read read(utf16(body));
            ASSERT_EQ(read.result, 1);
            EXPECT_TRUE(read.utf8Text() == removedOnce(body));
            EXPECT_EQ(read.desc(0), Strings{A});
        }
    }
}

TEST(ReaderText, NulCharacterIsRefusedAndTheFileStaysAsItWas) {
    const std::string bytes =
        utf16(packageText(HEADER, {row("一", img(A))})) + std::string("\0\0", 2) + utf16("\r\n").substr(2);
    Read read(bytes);
    EXPECT_EQ(read.result, 0) << "the engine's strings would end at the NUL and the rest be lost";
    EXPECT_EQ(readWholeFile(read.path), bytes);
}

TEST(ReaderText, TaobaoAssistant5Package) {
    std::string bytes = readWholeFile(std::string(VEDO_SOURCE_DIR) + "/tests/data/taobao-assistant-5x.csv");
    ASSERT_FALSE(bytes.empty());
    Read read(bytes);
    ASSERT_EQ(read.result, 1) << engineToUtf8(lastReadFailure());
    ASSERT_EQ(read.items->count, 3);
    EXPECT_EQ(read.title(0), "纯棉短袖T恤 男款");
    EXPECT_EQ(read.desc(0), Strings{});
    EXPECT_EQ(read.mobile(0), Strings{});
    EXPECT_EQ(read.title(1), "不锈钢保温杯 500ml \"\"商务款\"\"");
    EXPECT_EQ(read.desc(1).size(), 6u) << "four img tags, a background:url() and a background attribute";
    EXPECT_EQ(read.mobile(1).size(), 3u);
    EXPECT_EQ(read.desc(2).size(), 1u);
    EXPECT_EQ(read.mobile(2), read.desc(2));
    EXPECT_EQ(readWholeFile(read.path), bytes) << "reading never writes the package";
}

TEST(ReaderPatterns, EachDescriptionPatternFindsItsMarkup) {
    struct Case {
        int pattern;
        std::string field;
    };
    const std::vector<Case> cases = {
        {0, "\"<IMG ALT=x SRC=\"\"" + A + "\"\" />\""}, // doubled quotes inside a CSV field
        {1, "<img src = ' " + A + "'>"},
        {2, "<img width=1 src=" + A + " height=2>"},
        {2, "<img src=" + A + "|x>"},
        {3, "<td background=\"" + A + "\">"},
        {4, "<td BACKGROUND='" + A + "'>"},
        {5, "<table background=" + A + ">"},
        {6, "<p style=\"background: url(\"" + A + "\")\">"},
        {7, "<p style=\"background:url('" + A + "')\">"},
        {8, "<p style=\"background:url(" + A + ")\">"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        for (int p = 0; p < DESC_IMAGE_PATTERN_COUNT; p++) {
            Strings found = collect(c.field, DESC_IMAGE_PATTERNS[p]);
            if (p == c.pattern) {
                EXPECT_EQ(found, Strings{A}) << "pattern " << p + 1;
            }
        }
        EXPECT_EQ(collectDescription(c.field), Strings{A});
        EXPECT_EQ(
            collectDescription(c.field + " https://img.alicdn.com/s.jpg " + img("https://x.example/s.jpg")),
            Strings{A})
            << "https is never collected";
    }
    EXPECT_EQ(collectMobile("<wapDesc><IMG>" + A + "</IMG><img x=1>" + B + "</img></wapDesc>"),
              (Strings{A, B}));
}

TEST(ReaderPatterns, ExclusionsAndTheBlankImage) {
    const Strings excluded = {"http://img01.taobao.com/a.jpg", "http://a.tbcdn.cn/b.jpg",
                              "http://img.tmall.com/c.jpg"};
    const std::string blank = "http://img.alicdn.com/imgextra/i1/T1_blank1.jpg";
    std::string description;
    for (const std::string& e : excluded)
        description += img(e);
    description += img(blank) + img(blank + "?x=1") + img(A);
    EXPECT_EQ(collectDescription(description), (Strings{blank + "?x=1", A}));
    Strings mobile = excluded;
    mobile.push_back(blank);
    EXPECT_EQ(collectMobile(wap(mobile)), mobile) << "the mobile details exclude nothing";
}

TEST(ReaderPatterns, DistinctAddressesInPatternOrder) {
    // C stands first in the text but is found by a later pattern than A and B.
    const std::string field = "<td background=\"" + C + "\">" + img(A) + img(B) + img(A) +
                              "<p background=\"" + A + "\" style=\"background:url(" + B + ")\">";
    EXPECT_EQ(collectDescription(field), (Strings{A, B, C}));

    Read read(utf16(packageText(HEADER, {row("一", field, wap({A, A, C}))})));
    EXPECT_EQ(read.desc(0), (Strings{A, B, C}));
    EXPECT_EQ(read.mobile(0), (Strings{A, C})) << "an address in both lists is listed in both";
}

TEST(ReaderPatterns, SameResultsAsAFreshlyCompiledPattern) {
    // The reader compiles its patterns once and skips a pattern when a field lacks the text that
    // the pattern needs. A pattern it does not know is compiled for the call and always matched:
    // the same pattern behind an empty group must find exactly the same addresses.
    // Tags that stay open over several places, with and without an address inside, exercise the
    // places that the reader passes over after a failure.
    const Strings pieces = {"<img ",
                            "<IMG src=",
                            "src",
                            "=",
                            "\"",
                            "'",
                            " ",
                            ">",
                            "|",
                            "http://",
                            "HTTP://",
                            "https://",
                            "a.jpg",
                            "background",
                            "BackGround:",
                            "url(",
                            ")",
                            "</img>",
                            "<img>",
                            "x",
                            "<img",
                            "<",
                            "\"http://b/",
                            "src='http://c",
                            " src=http://d",
                            "src=\"http://e",
                            "  "};
    std::mt19937 random(7);
    for (int round = 0; round < 1000; round++) {
        std::string field = "\"";
        for (int i = 0, n = 1 + static_cast<int>(random() % 40); i < n; i++)
            field += pieces[random() % pieces.size()];
        field += "\"";
        SCOPED_TRACE(field);
        for (const char* pattern : DESC_IMAGE_PATTERNS) {
            EXPECT_EQ(collect(field, pattern), collect(field, (std::string("(?:)") + pattern).c_str()));
        }
        // No piece names an excluded host, so the description rules of collectImageRefs drop nothing.
        EXPECT_EQ(collectMobile(field), collect(field, (std::string("(?:)") + MOBILE_IMAGE_PATTERN).c_str()));
    }
}

// Matching keeps its state per thread: fields read on several threads at once give each thread
// what one thread alone finds, for the compiled-once patterns and for one compiled per call.
TEST(ReaderPatterns, ThreadsMatchAtTheSameTime) {
    std::string field = "\"";
    for (int k = 0; k < 300; k++) {
        const std::string n = std::to_string(k);
        field += "<img src=\"http://a.cn/" + n + "\"><td background='http://b.cn/" + n + "'><img <img>" +
                 "<img>http://m.cn/" + n + "</img><p style=\"background:url(http://c.cn/" + n + ")\">";
    }
    field += "\"";
    Strings patterns(DESC_IMAGE_PATTERNS, DESC_IMAGE_PATTERNS + DESC_IMAGE_PATTERN_COUNT);
    patterns.push_back(MOBILE_IMAGE_PATTERN);
    patterns.push_back(std::string("(?:)") + DESC_IMAGE_PATTERNS[0]);
    auto addresses = [&](const std::string& pattern) {
        ArrayList* list = arrayListCreate(64, 64);
        Strings out;
        if (collectImageRefs(field.c_str(), list, pattern.c_str(), 0) == 1) {
            for (int32_t i = 0; i < list->count; i++)
                out.push_back(static_cast<const char*>(list->items[i]));
        }
        arrayListDestroy(list, 1);
        return out;
    };
    std::vector<Strings> expected;
    for (const std::string& pattern : patterns)
        expected.push_back(addresses(pattern));
    EXPECT_EQ(expected[0].size(), 300u);
    EXPECT_EQ(expected[DESC_IMAGE_PATTERN_COUNT].size(), 300u);
    EXPECT_EQ(expected.back(), expected[0]);

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            for (int round = 0; round < 20; round++) {
                for (size_t p = 0; p < patterns.size(); p++) {
                    if (addresses(patterns[p]) != expected[p]) wrong++;
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

// A bound for work that takes a fraction of a second when it is linear and many seconds when it is
// not, generous enough for a busy machine; AddressSanitizer makes the linear work several times
// slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr double TIME_BOUND = 20.0;
#else
constexpr double TIME_BOUND = 5.0;
#endif

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Repeated beginnings of markup that never complete, and long runs inside one tag left open, in
// front of real images, cost time in proportion to the text: a bound that the linear reader meets many times
// over even on a busy machine, while trying every place afresh takes minutes.
TEST(ReaderPatterns, HostileDescriptionsAreReadInLinearTime) {
    const std::string tail =
        img(A) + "<td background=\"" + C + "\"><img>" + B + "</img><p style=\"background:url(" + A + ")\">";
    std::string description;
    std::string mobile = "<wapDesc>";
    for (int i = 0; i < 200000; i++) {
        description += "<img ";
        mobile += "<img";
    }
    description += img(A);
    mobile += "<img src=x><img>" + B + "</img></wapDesc>";
    ASSERT_GE(description.size(), 1000000u);
    const std::string bytes = utf16(packageText(HEADER, {row("一", description, mobile)}));
    const auto start = std::chrono::steady_clock::now();
    Read read(bytes);
    EXPECT_LT(secondsSince(start), TIME_BOUND);
    ASSERT_EQ(read.result, 1);
    EXPECT_EQ(read.desc(0), Strings{A});
    EXPECT_EQ(read.mobile(0), Strings{B});

    const Strings repeats = {
        "<img ", "<IMG src=\"", "<img src=''", "<img x=",          "<img src=\"\"\"\"   ",
        "<img",  "src=",        "background",  "background=\"\" ", "BACKGROUND: url( ",
        "\"\"",  " ",           " src"};
    for (const std::string& repeat : repeats) {
        SCOPED_TRACE(repeat);
        // Each repeat also stands inside one img tag that is left open over all of it.
        std::string field = "\"<img ";
        while (field.size() < (2u << 20))
            field += repeat;
        field += tail + "\"";
        const auto begin = std::chrono::steady_clock::now();
        const Strings found = collectDescription(field);
        const Strings foundMobile = collectMobile(field);
        EXPECT_LT(secondsSince(begin), TIME_BOUND);
        EXPECT_EQ(found, (Strings{A, C}));
        EXPECT_EQ(foundMobile, Strings{B});
    }
}

// Telling whether an address is new takes the same time however many the item has: 20,000
// addresses, each found by all nine patterns and nine times in the mobile details, are read in a
// bound that checking each against every earlier one misses several times over.
TEST(ReaderPatterns, ManyDistinctAddressesAreListedInLinearTime) {
    const std::vector<std::pair<std::string, std::string>> forms = {
        {"<img src=\"", "\">"},
        {"<img src='", "'>"},
        {"<img src=", ">"},
        {"<td background=\"", "\">"},
        {"<td background='", "'>"},
        {"<td background=", ">"},
        {"<p style=\"background:url(\"", "\")\">"},
        {"<p style=\"background:url('", "')\">"},
        {"<p style=\"background:url(", ")\">"}};
    Strings addresses;
    for (int i = 0; i < 20000; i++)
        addresses.push_back("http://a.cn/" + std::to_string(i));
    std::string description;
    std::string mobile = "<wapDesc>";
    for (const auto& form : forms) {
        for (const std::string& address : addresses) {
            description += form.first + address + form.second;
            mobile += "<img>" + address + "</img>";
        }
    }
    mobile += "</wapDesc>";
    const std::string bytes = utf16(packageText(HEADER, {row("一", description, mobile)}));
    const auto start = std::chrono::steady_clock::now();
    Read read(bytes);
    EXPECT_LT(secondsSince(start), TIME_BOUND);
    ASSERT_EQ(read.result, 1);
    EXPECT_TRUE(read.desc(0) == addresses);
    EXPECT_TRUE(read.mobile(0) == addresses);

    // Addresses the list holds before the call count as held.
    ArrayList* list = arrayListCreate(4, 4);
    arrayListAdd(list, duplicateString("http://a.cn/7"));
    EXPECT_EQ(collectImageRefs("<img src=\"http://a.cn/7\"><img src=\"http://a.cn/8\">", list,
                               DESC_IMAGE_PATTERNS[0], 0),
              1);
    EXPECT_EQ(toUtf8(list), (Strings{"http://a.cn/7", "http://a.cn/8"}));
    arrayListDestroy(list, 1);
}

TEST(ReaderPatterns, PatternFailuresAreReported) {
    std::string dir = makeTempDir("reader-log");
    char saved[PATH_BUFFER_SIZE];
    std::memcpy(saved, appDir, sizeof appDir);
    copyBounded(appDir, sizeof appDir, dir.c_str());
    ASSERT_EQ(openLog(), 1);

    ArrayList* list = arrayListCreate(4, 4);
    EXPECT_EQ(collectImageRefs("<img src=\"http://a\">", list, "(http://[^\"]*", 0), 0);
    EXPECT_EQ(collectImageRefs(std::string(40, 'a').c_str(), list, "(a+)+[bc]", 0), 0) << "the match limit";
    arrayListDestroy(list, 1);
    std::string log = readWholeFile(joinPath(dir, "app.log"));
    EXPECT_NE(log.find("PCRE compilation failed at offset 13: missing closing parenthesis"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Matching error: -47"), std::string::npos) << log;

    std::fclose(logFile);
    logFile = nullptr;
    std::memcpy(appDir, saved, sizeof appDir);
    removeTree(dir);
}

// The description and mobile addresses of one package item read in the mode given, with what a
// read in the default mode leaves uncollected.
struct SecureRead {
    Strings desc, mobile, uncollectedDesc, uncollectedMobile;
};

Strings joined(Strings a, const Strings& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

SecureRead readBothWays(const std::string& description, const std::string& mobile, bool secure) {
    Read read(utf16(packageText(HEADER, {row("一", description, mobile)})), secure);
    EXPECT_EQ(read.result, 1);
    if (read.result != 1) return {};
    return {read.desc(0), read.mobile(0), toUtf8(read.item(0)->uncollectedDescImages),
            toUtf8(read.item(0)->uncollectedMobileImages)};
}

// https:// (any case) and protocol-relative addresses are collected in secure mode exactly where
// http:// ones are, written as they stand; with the mode off the same read collects none of them
// and lists them as uncollected instead, with the same exclusions and dedupe.
TEST(ReaderSecureMode, HttpsAndProtocolRelativeAddressesInEveryPatternPlace) {
    const std::string S = "https://img.alicdn.com/imgextra/i1/1/s.jpg";
    const std::string U = "HTTPS://Img.Alicdn.com/u.jpg";
    const std::string R = "//img.alicdn.com/r.jpg";
    const std::vector<std::string> forms = {"\"<IMG ALT=x SRC=\"\"@\"\" />\"",
                                            "<img src = ' @'>",
                                            "<img width=1 src=@ height=2>",
                                            "<td background=\"@\">",
                                            "<td BACKGROUND='@'>",
                                            "<table background=@>",
                                            "<p style=\"background: url(\"@\")\">",
                                            "<p style=\"background:url('@')\">",
                                            "<p style=\"background:url(@)\">"};
    for (int p = 0; p < DESC_IMAGE_PATTERN_COUNT; p++) {
        for (const std::string& address : {S, U, R}) {
            std::string field = forms[p];
            field.replace(field.find('@'), 1, address);
            SCOPED_TRACE(field);
            EXPECT_EQ(collect(field, SECURE_DESC_IMAGE_PATTERNS[p]), Strings{address});
            EXPECT_EQ(collectDescription(field), Strings{}) << "the default collects none";
            EXPECT_EQ(collectDescription(field, 1), Strings{address});
        }
    }

    // Not a protocol-relative address: no host after "//".
    const std::string notAddresses =
        img("///x.jpg") + img("//") + img("// x.jpg") + "<img src=//>" + "<p style=\"background:url(//)\">";
    // The blank placeholder in each spelling and the excluded hosts are left out of the description.
    const std::string blank = "img.alicdn.com/imgextra/i1/T1_blank1.jpg";
    const std::string excluded = img("https://img01.taobao.com/a.jpg") + img("//a.tbcdn.cn/b.jpg");
    const std::string description = notAddresses + img("http://" + blank) + img("https://" + blank) +
                                    img("//" + blank) + img("//" + blank + "?x=1") + excluded +
                                    // written with both schemes: two addresses, each rewritten as written
                                    img(A) + img("https" + A.substr(4)) + img(A.substr(5)) + img(S) + img(S) +
                                    "<td background=\"" + S + "\">";
    const std::string mobile = wap({S, "//" + blank, "https://img01.taobao.com/a.jpg", A, "///m.jpg", S});
    const Strings secureDesc = {A, "//" + blank + "?x=1", "https" + A.substr(4), A.substr(5), S};
    const Strings secureMobile = {A, S, "//" + blank, "https://img01.taobao.com/a.jpg"};

    SecureRead on = readBothWays(description, mobile, true);
    EXPECT_EQ(on.desc, secureDesc);
    EXPECT_EQ(on.mobile, secureMobile);
    EXPECT_EQ(on.uncollectedDesc, Strings{}) << "nothing is left in secure mode";
    EXPECT_EQ(on.uncollectedMobile, Strings{});

    SecureRead off = readBothWays(description, mobile, false);
    EXPECT_EQ(on.desc, joined(off.desc, off.uncollectedDesc)) << "the secure read adds to the default one";
    EXPECT_EQ(on.mobile, joined(off.mobile, off.uncollectedMobile));
    EXPECT_EQ(off.desc, Strings{A});
    EXPECT_EQ(off.mobile, Strings{A});
    EXPECT_EQ(off.uncollectedDesc, (Strings{"//" + blank + "?x=1", "https" + A.substr(4), A.substr(5), S}));
    EXPECT_EQ(off.uncollectedMobile, (Strings{S, "//" + blank, "https://img01.taobao.com/a.jpg"}));

    // A package of http:// addresses alone leaves nothing uncollected.
    SecureRead plain = readBothWays(img(A) + img(B), wap({C}), false);
    EXPECT_EQ(plain.desc, (Strings{A, B}));
    EXPECT_TRUE(plain.uncollectedDesc.empty() && plain.uncollectedMobile.empty());
}

// A package as Taobao Assistant exports it today (LF line ends, CSV-doubled quotes, https
// everywhere) reads in secure mode as the same package with http:// reads in the default mode.
TEST(ReaderSecureMode, ModernPackageReadsLikeItsHttpForm) {
    std::string description = "<p>";
    Strings mobileAddresses;
    for (int i = 0; i < 21; i++) {
        description += "<img style=\"max-width:750.0px;\" src=\"https://img.alicdn.com/imgextra/i" +
                       std::to_string(i % 4 + 1) + "/1579808712/TB2x" + std::to_string(i) +
                       "_!!1579808712.jpg\" align=\"absmiddle\">";
        if (i % 3 == 0)
            mobileAddresses.push_back("https://img.alicdn.com/imgextra/i1/1579808712/TB2x" +
                                      std::to_string(i) + "_!!1579808712.jpg");
    }
    description += "</p>";
    const std::string modern =
        packageText(HEADER, {row("一", "<p>x</p>"), row("二", description, wap(mobileAddresses))}, "\n");
    std::string older = modern;
    for (size_t at = older.find("https://"); at != std::string::npos; at = older.find("https://", at))
        older.erase(at + 4, 1);

    Read http(utf16(older));
    ASSERT_EQ(http.result, 1);
    EXPECT_EQ(http.desc(1).size(), 21u);
    EXPECT_EQ(http.mobile(1).size(), 7u);
    {
        Read standard(utf16(modern));
        ASSERT_EQ(standard.result, 1);
        EXPECT_TRUE(standard.desc(1).empty() && standard.mobile(1).empty());
        EXPECT_EQ(standard.item(1)->uncollectedDescImages->count, 21);
        EXPECT_EQ(standard.item(1)->uncollectedMobileImages->count, 7);
    }
    Read secure(utf16(modern), 1);
    ASSERT_EQ(secure.result, 1);
    Strings desc = secure.desc(1), mobile = secure.mobile(1);
    for (std::string& a : desc)
        a.erase(4, 1);
    for (std::string& a : mobile)
        a.erase(4, 1);
    EXPECT_EQ(desc, http.desc(1));
    EXPECT_EQ(mobile, http.mobile(1));
    EXPECT_EQ(secure.utf8Text(), engineToUtf8(utf8ToEngine(modern.substr(0))))
        << "the text is kept as written";
}

// The secure patterns, compiled once and tried at their places only, find what PCRE's own search
// finds; in secure mode a description pattern finds its own addresses followed by the new ones of
// its secure counterpart.
TEST(ReaderSecureMode, SameResultsAsAFreshlyCompiledPattern) {
    const Strings pieces = {
        "<img ",      "<IMG src=",      "src",      "=",         "\"",     "'",     " ",   ">",
        "|",          "http://",        "HTTPS://", "https://",  "//",     "///",   "//a", "a.jpg",
        "background", "BackGround:",    "url(",     ")",         "</img>", "<img>", "x",   "<img",
        "\"//b/",     "src='https://c", " src=//d", "src=\"//e", "  ",     "http:"};
    std::mt19937 random(11);
    for (int round = 0; round < 1000; round++) {
        std::string field = "\"";
        for (int i = 0, n = 1 + static_cast<int>(random() % 40); i < n; i++)
            field += pieces[random() % pieces.size()];
        field += "\"";
        SCOPED_TRACE(field);
        for (int p = 0; p <= DESC_IMAGE_PATTERN_COUNT; p++) {
            const bool mobile = p == DESC_IMAGE_PATTERN_COUNT;
            const std::string plain = mobile ? MOBILE_IMAGE_PATTERN : DESC_IMAGE_PATTERNS[p];
            const std::string secure = mobile ? SECURE_MOBILE_IMAGE_PATTERN : SECURE_DESC_IMAGE_PATTERNS[p];
            const Strings fresh = collect(field, ("(?:)" + secure).c_str());
            EXPECT_EQ(collect(field, secure.c_str()), fresh);
            Strings both = collect(field, ("(?:)" + plain).c_str());
            for (const std::string& a : fresh) {
                if (std::find(both.begin(), both.end(), a) == both.end()) both.push_back(a);
            }
            EXPECT_EQ(mobile ? collectMobile(field, 1) : collect(field, plain.c_str(), 1), both);
        }
        if (round % 10 == 0) {
            // A package read with the mode off, its uncollected addresses included, is the package
            // read in secure mode.
            const std::string markup = field.substr(1, field.size() - 2);
            const std::string bytes = utf16(packageText(HEADER, {row("一", markup, markup)}));
            Read off(bytes);
            ASSERT_EQ(off.result, 1);
            includeUncollectedImages(off.items);
            EXPECT_TRUE(!off.item(0)->uncollectedDescImages && !off.item(0)->uncollectedMobileImages);
            Read secure(bytes, 1);
            ASSERT_EQ(secure.result, 1);
            EXPECT_EQ(off.desc(0), secure.desc(0));
            EXPECT_EQ(off.mobile(0), secure.mobile(0));
        }
    }
}

// Hostile descriptions cost linear time in secure mode too, and so does the default mode's look
// for uncollected addresses.
TEST(ReaderSecureMode, HostileDescriptionsAreReadInLinearTime) {
    const std::string S = "https://img.alicdn.com/s.jpg";
    const std::string tail = img(S) + "<td background=\"//c.cn/c.jpg\"><img>" + S + "</img>";
    const Strings repeats = {"<img ", "<IMG src=\"", "<img src=//",      "<img src=\"https:/",
                             "////",  "https://",    "background=\"\" ", "BACKGROUND: url( //",
                             " src"};
    for (int secure = 0; secure < 2; secure++) {
        for (const std::string& repeat : repeats) {
            SCOPED_TRACE(repeat);
            std::string description = "<img ";
            while (description.size() < (1u << 20))
                description += repeat;
            description += tail;
            const std::string bytes = utf16(
                packageText(HEADER, {row("一", description, "<wapDesc>" + description + "</wapDesc>")}));
            const auto begin = std::chrono::steady_clock::now();
            Read read(bytes, secure);
            EXPECT_LT(secondsSince(begin), TIME_BOUND);
            ASSERT_EQ(read.result, 1);
            const Strings desc = secure ? read.desc(0) : toUtf8(read.item(0)->uncollectedDescImages);
            EXPECT_TRUE(std::find(desc.begin(), desc.end(), S) != desc.end());
            EXPECT_TRUE(std::find(desc.begin(), desc.end(), "//c.cn/c.jpg") != desc.end());
        }
    }
}

TEST(ReaderFields, QuotedFieldLength) {
    EXPECT_EQ(quotedFieldLength("\"abc\"\tx"), 5);
    EXPECT_EQ(quotedFieldLength("\"\"\t"), 2);
    EXPECT_EQ(quotedFieldLength("\"a\"\"b\"\t"), 6);
    EXPECT_EQ(quotedFieldLength("\"\"\"a\"\"\"x"), 7);
    EXPECT_EQ(quotedFieldLength("\"abc"), 0);
    EXPECT_EQ(quotedFieldLength("\"abc\"\""), 0) << "a doubled quote at the end does not close";
    EXPECT_EQ(quotedFieldLength("abc\""), 0);
}

} // namespace
