// Tests of image file names: extensions, title stems, taken names and mobile stamps.
#include "migration/naming.h"

#include "package/item.h"
#include "platform/files.h"
#include "support/testfiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

std::string extensionOf(const char* url) {
    char out[EXTENSION_MAX_LENGTH + 1] = {0};
    extensionFromUrl(url, out, EXTENSION_MAX_LENGTH);
    return out;
}

std::string stemOf(const std::string& title) {
    char stem[ITEM_TITLE_SIZE];
    std::memset(stem, 'x', sizeof stem);
    titleFileStem(title.c_str(), stem);
    return stem;
}

struct NamingFolder : ::testing::Test {
    std::string folder;
    void SetUp() override { folder = makeTempDir("naming"); }
    void TearDown() override { removeTree(folder); }
    std::string path(const std::string& engineName) { return joinPath(folder, engineName); }
};

} // namespace

TEST(ImageExtension, ReadsTheLastDotOfTheLastSegment) {
    EXPECT_EQ(extensionOf("http://a.com/i/T1abc.jpg_60x60.jpg"), "jpg");
    EXPECT_EQ(extensionOf("http://a.com/x.php?id=a.png"), "png") << "the last dot may lie in the query";
    EXPECT_EQ(extensionOf("http://a.com/x.gif?width=300"), "gif");
    EXPECT_EQ(extensionOf("http://a.com/x.gif#top"), "gif");
    EXPECT_EQ(extensionOf("http://a.com/x.png_310x310"), "png_310") << "at most seven bytes";
    EXPECT_EQ(extensionOf("http://a.com.cn/image"), "") << "no dot after the last slash";
    EXPECT_EQ(extensionOf("no-slash.jpg"), "");
}

TEST(ImageExtension, ChoosesOneOfTheFiveTypes) {
    struct Case {
        const char* url;
        const char* ext;
    } cases[] = {
        {"http://a.com/X.JPG", "jpg"},
        {"http://a.com/x.JPEG", "jpeg"},
        {"http://a.com/x.Png", "png"},
        {"http://a.com/x.bmp", "bmp"},
        {"http://a.com/noextension", "jpg"},
        {"http://a.com/x.webp", "jpg"},
        {"http://a.com/x.png_310x310", "png"},
        {"http://a.com/T1abc.jpg_60x60.jpg", "jpg"},
        {"http://a.com/x.gif?width=300", "gif"},
        {"http://a.com/x.jpeg_400", "jpg"},
        {"http://a.com/x.", "jpg"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(chooseImageExtension(c.url), c.ext) << c.url;
}

TEST(TitleStem, ReplacesCharactersThatNoFileNameMayHold) {
    EXPECT_EQ(stemOf("a/b:c d"), "a-b-c-d");
    EXPECT_EQ(stemOf("\\*?\"<>|\r\n"), "---------");
    // Control characters, a tab and DEL among them; the two-byte character after them stays.
    EXPECT_EQ(stemOf("a\x01\tb\x1F\x7F\xD5\x5C"), "a--b--\xD5\x5C");
    EXPECT_EQ(stemOf(""), "");
}

TEST(TitleStem, KeepsTwoByteCharactersWhoseSecondByteLooksLikeASeparator) {
    // 0xD5 0x5C and 0xB1 0x7C are GBK characters whose second bytes are '\\' and '|'.
    EXPECT_EQ(stemOf("\xD5\x5C\xB1\x7C"), "\xD5\x5C\xB1\x7C");
    // The same with lead bytes from 0x81 to 0xA0.
    EXPECT_EQ(stemOf("\x81\x5C\x95\x7C"), "\x81\x5C\x95\x7C");
    // A lead byte at the very end does not swallow the terminator.
    EXPECT_EQ(stemOf("ab\xD5"), "ab-");
    // The stem is cut to the title buffer, never written past it.
    EXPECT_EQ(stemOf(std::string(300, 'a')).size(), static_cast<size_t>(ITEM_TITLE_SIZE - 1));
}

TEST_F(NamingFolder, NumberedNamesSkipTakenNumbersAndGrowToTwoDigits) {
    std::string stem = utf8ToEngine("短袖");
    char out[PATH_BUFFER_SIZE];
    int number = 1;
    ASSERT_EQ(numberedImagePath(folder.c_str(), stem.c_str(), &number, "jpg", out), 1);
    EXPECT_EQ(std::string(out), path(stem + "#01.jpg"));
    EXPECT_EQ(number, 2);

    writeWholeFile(path(stem + "#01.jpg"), "x");
    writeWholeFile(path(stem + "#02.jpg"), "x");
    number = 1;
    ASSERT_EQ(numberedImagePath(folder.c_str(), stem.c_str(), &number, "jpg", out), 1);
    EXPECT_EQ(std::string(out), path(stem + "#03.jpg"));
    EXPECT_EQ(number, 4);

    number = 9;
    ASSERT_EQ(numberedImagePath(folder.c_str(), stem.c_str(), &number, "png", out), 1);
    EXPECT_EQ(std::string(out), path(stem + "#09.png"));
    ASSERT_EQ(numberedImagePath(folder.c_str(), stem.c_str(), &number, "png", out), 1);
    EXPECT_EQ(std::string(out), path(stem + "#10.png"));
    EXPECT_EQ(number, 11);
}

TEST_F(NamingFolder, EmptyTitleAndFolderEndingInASeparator) {
    char out[PATH_BUFFER_SIZE];
    int number = 1;
    ASSERT_EQ(numberedImagePath(folder.c_str(), "", &number, "jpg", out), 1);
    EXPECT_EQ(std::string(out), path("#01.jpg"));

    std::string withSeparator = folder + PATH_SEPARATOR;
    number = 1;
    ASSERT_EQ(numberedImagePath(withSeparator.c_str(), "a", &number, "jpg", out), 1);
    EXPECT_EQ(std::string(out), folder + PATH_SEPARATOR + PATH_SEPARATOR + "a#01.jpg")
        << "the separator is doubled as written, in the file and the package alike";
}

TEST_F(NamingFolder, PathsThatDoNotFitAreRefusedWithoutOverrun) {
    // Guard bytes around the buffer catch any write past it.
    char guarded[PATH_BUFFER_SIZE + 32];
    std::memset(guarded, '#', sizeof guarded);
    char* out = guarded + 16;
    std::string longStem(PATH_BUFFER_SIZE, 'a');
    int number = 7;
    EXPECT_EQ(numberedImagePath(folder.c_str(), longStem.c_str(), &number, "jpg", out), 0);
    EXPECT_EQ(number, 7) << "a refused path uses no number";
    EXPECT_EQ(out[0], '\0');

    // A path of exactly 259 bytes fits; one byte more is refused.
    std::string exact(PATH_BUFFER_SIZE - 1 - folder.size() - 1 - std::strlen("#01.jpg"), 'b');
    number = 1;
    EXPECT_EQ(numberedImagePath(folder.c_str(), exact.c_str(), &number, "jpg", out), 1);
    EXPECT_EQ(std::strlen(out), static_cast<size_t>(PATH_BUFFER_SIZE - 1));
    number = 1;
    EXPECT_EQ(numberedImagePath(folder.c_str(), exact.c_str(), &number, "jpeg", out), 0);

    std::string longFolder(PATH_BUFFER_SIZE - 10, 'c');
    int32_t counter = stampCounter;
    EXPECT_EQ(stampImagePath(longFolder.c_str(), "jpg", out), 0);
    EXPECT_EQ(stampCounter, counter + 1) << "the stamp counter advances for every name formed";

    for (size_t i = 0; i < 16; i++)
        EXPECT_EQ(guarded[i], '#');
    for (size_t i = 16 + PATH_BUFFER_SIZE; i < sizeof guarded; i++)
        EXPECT_EQ(guarded[i], '#');
}

TEST_F(NamingFolder, StampNamesUseTheRunStartAndACounterThatIsNeverReset) {
    stampCounter = 1;
    jobStartTime = JobStartTime{2026, 3, 5, 9, 7};
    char out[PATH_BUFFER_SIZE];
    ASSERT_EQ(stampImagePath(folder.c_str(), "jpg", out), 1);
    EXPECT_EQ(std::string(out), path("2026-3-5-9-7-1.jpg"));
    EXPECT_EQ(stampCounter, 2);

    // A taken name is skipped, and the counter moves past it as well.
    writeWholeFile(path("2026-3-5-9-7-2.png"), "x");
    ASSERT_EQ(stampImagePath(folder.c_str(), "png", out), 1);
    EXPECT_EQ(std::string(out), path("2026-3-5-9-7-3.png"));
    EXPECT_EQ(stampCounter, 4);

    // A second run takes its own start time but keeps counting.
    jobStartTime = JobStartTime{2026, 12, 31, 23, 59};
    ASSERT_EQ(stampImagePath(folder.c_str(), "gif", out), 1);
    EXPECT_EQ(std::string(out), path("2026-12-31-23-59-4.gif"));
}

TEST(JobStart, TakesTheLocalClock) {
    takeJobStartTime();
    EXPECT_GE(jobStartTime.year, 2024);
    EXPECT_GE(jobStartTime.month, 1);
    EXPECT_LE(jobStartTime.month, 12);
    EXPECT_LE(jobStartTime.hour, 23);
}

// A downloaded image is moved under the first free name: what stands under a taken name (a file,
// a link to nowhere) is passed over and never replaced, and a move that finds no name leaves the
// downloaded file where it was.
TEST_F(NamingFolder, PlacingADownloadedImageNeverReplacesWhatStandsUnderAName) {
    std::string stem = utf8ToEngine("短袖");
    std::string part = path(".vedo-1.part");
    writeWholeFile(part, "image bytes");
    writeWholeFile(path(stem + "#01.jpg"), "a seller's file");
#ifndef _WIN32
    ASSERT_EQ(symlink(path("nowhere").c_str(), engineToUtf8(path(stem + "#02.jpg")).c_str()), 0);
#else
    writeWholeFile(path(stem + "#02.jpg"), "another file");
#endif
    char out[PATH_BUFFER_SIZE];
    int number = 1;
    ASSERT_EQ(placeNumberedImage(folder.c_str(), stem.c_str(), &number, "jpg", part.c_str(), out), 1);
    EXPECT_EQ(std::string(out), path(stem + "#03.jpg"));
    EXPECT_EQ(number, 4);
    EXPECT_EQ(readWholeFile(out), "image bytes");
    EXPECT_EQ(readWholeFile(path(stem + "#01.jpg")), "a seller's file");
    EXPECT_FALSE(fileExists(part.c_str()));
#ifndef _WIN32
    EXPECT_FALSE(fileExists(path("nowhere").c_str())) << "nothing written through the link";
#endif

    writeWholeFile(part, "more bytes");
    std::string longStem(PATH_BUFFER_SIZE, 'x');
    number = 1;
    EXPECT_EQ(placeNumberedImage(folder.c_str(), longStem.c_str(), &number, "jpg", part.c_str(), out), 0);
    EXPECT_EQ(readWholeFile(part), "more bytes");
    ASSERT_EQ(placeStampImage(folder.c_str(), "png", part.c_str(), out), 1);
    EXPECT_EQ(readWholeFile(out), "more bytes");
    EXPECT_FALSE(fileExists(part.c_str()));
}
