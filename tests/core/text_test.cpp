// Tests of the string and path functions.
#include "core/appdir.h"
#include "core/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static std::vector<std::string> tokens(std::string text, const char* delimiters) {
    std::vector<std::string> out;
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    char* cursor = buffer.data();
    while (char* token = nextToken(&cursor, delimiters))
        out.push_back(token);
    return out;
}

TEST(NextToken, SplitsLikeStrsep) {
    EXPECT_EQ(tokens("a\t\tb", "\t"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(tokens("a\t", "\t"), (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(tokens("whole", "\t"), (std::vector<std::string>{"whole"}));
    EXPECT_EQ(tokens("", "^"), (std::vector<std::string>{""}));
    EXPECT_EQ(tokens("true^note^x", "^"), (std::vector<std::string>{"true", "note", "x"}));
    EXPECT_EQ(tokens("l1\r\n\r\nl2", "\r\n"), (std::vector<std::string>{"l1", "", "", "", "l2"}));
    char* cursor = nullptr;
    EXPECT_EQ(nextToken(&cursor, "\t"), nullptr);
}

TEST(ReplaceAll, ExactLengthNonOverlapAndNullCases) {
    char* r = replaceAll("x_.webpy_.webpz_.webp", "_.webp", "");
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "xyz");
    EXPECT_EQ(std::strlen(r), std::strlen("x_.webpy_.webpz_.webp") - 18);
    std::free(r);

    r = replaceAll("aaa", "aa", "b");
    EXPECT_STREQ(r, "ba") << "occurrences never overlap";
    std::free(r);

    r = replaceAll("abab", "ab", "abab");
    EXPECT_STREQ(r, "abababab") << "a replacement is never searched again";
    std::free(r);

    EXPECT_EQ(replaceAll("no match here", "_.webp", ""), nullptr);
    EXPECT_EQ(replaceAll("", "a", "b"), nullptr);
    EXPECT_EQ(replaceAll(nullptr, "a", "b"), nullptr);
    EXPECT_EQ(replaceAll("abc", "", "b"), nullptr);
    EXPECT_EQ(replaceAll("abc", "a", nullptr), nullptr);
}

TEST(ReplaceAll, ManyOccurrencesGrowTheOffsetList) {
    std::string text;
    for (int i = 0; i < 1000; i++)
        text += "ab-";
    char* r = replaceAll(text.c_str(), "ab", "xyz");
    ASSERT_NE(r, nullptr);
    std::string expected;
    for (int i = 0; i < 1000; i++)
        expected += "xyz-";
    EXPECT_EQ(std::string(r), expected);
    std::free(r);
}

TEST(TextTests, PrefixesSuffixesAndFileNames) {
    EXPECT_TRUE(startsWithIgnoreCase("HTTP://host/a.jpg", "http"));
    EXPECT_FALSE(startsWithIgnoreCase("htt", "http"));
    EXPECT_TRUE(startsWith("HTTP/1.1 200 OK", "HTTP/1.1 200 OK"));
    EXPECT_FALSE(startsWith("http/1.1 200 ok", "HTTP/1.1 200 OK"));
    EXPECT_TRUE(endsWithIgnoreCase("SHOP.CSV", ".csv"));
    EXPECT_FALSE(endsWithIgnoreCase("csv", ".csv"));
    // Only ASCII letters fold: GBK bytes must match exactly.
    EXPECT_FALSE(startsWithIgnoreCase("\xC1\xAC", "\xE1\xAC"));

    std::string sep(1, PATH_SEPARATOR);
    std::string path = "dir" + sep + "sub" + sep + "shop.csv";
    EXPECT_STREQ(fileNameOf(path.c_str()), "shop.csv");
    EXPECT_STREQ(fileNameOf(("dir" + sep).c_str()), "");
    EXPECT_STREQ(fileNameOf("plain.csv"), "plain.csv");
}

TEST(TextTests, CopyBoundedNeverWritesPastTheBuffer) {
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(copyBounded(buffer, 4, "abcdef"), 0);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], 'x');
    EXPECT_EQ(copyBounded(buffer, 8, "abcdefg"), 1);
    EXPECT_STREQ(buffer, "abcdefg");
}

TEST(AppDir, CutAtTheLastSeparator) {
    char out[PATH_BUFFER_SIZE];
    appDirFromProgramPath("C:\\vedo.exe", out, sizeof out);
#ifdef _WIN32
    EXPECT_STREQ(out, "C:\\") << "a drive root keeps its backslash";
    appDirFromProgramPath("C:\\tools\\vedo\\vedo.exe", out, sizeof out);
    EXPECT_STREQ(out, "C:\\tools\\vedo");
#else
    appDirFromProgramPath("/vedo-cli", out, sizeof out);
    EXPECT_STREQ(out, "/");
    appDirFromProgramPath("/opt/vedo/vedo-cli", out, sizeof out);
    EXPECT_STREQ(out, "/opt/vedo");
#endif
    appDirFromProgramPath("vedo", out, sizeof out);
    EXPECT_STREQ(out, "vedo");
}
