// Tests of writing the package back and of the numbered backup.
#include "package/writer.h"

#include "core/appdir.h"
#include "core/containers.h"
#include "package/item.h"
#include "package/reader.h"
#include "core/text.h"
#include "platform/files.h"
#include "support/fakewindow.h"
#include "support/testfiles.h"

#include "core/charset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifdef __linux__
#include <sys/mount.h>
#include <unistd.h>
#endif

namespace {

const char* const FOLDER_FAILED = "创建 [csv文件备份] 文件夹失败";
const char* const SOURCE_FAILED = "备份csv文件时出错：无法打开源csv文件句柄";
const char* const CONVERT_FAILED = "更新CSV文件失败：iconv()转码出错了。";
const char* const OPEN_FAILED = "更新CSV文件失败：文件句柄无法打开。";
const char* const WRITE_FAILED = "更新CSV文件失败：写入文件出错。";

// A scratch program folder (appDir) and a package folder.
struct WriterFixture : ::testing::Test {
    std::string programDir;
    std::string packageDir;
    char savedAppDir[PATH_BUFFER_SIZE];

    void SetUp() override {
        resetFakeWindow();
        writerFailAtStep = WRITER_STEP_NONE;
        std::memcpy(savedAppDir, appDir, sizeof appDir);
        programDir = makeTempDir("writer-program");
        packageDir = makeTempDir("writer-package");
        copyBounded(appDir, sizeof appDir, programDir.c_str());
    }
    void TearDown() override {
        writerFailAtStep = WRITER_STEP_NONE;
        std::memcpy(appDir, savedAppDir, sizeof appDir);
        removeTree(programDir);
        removeTree(packageDir);
    }
    std::string backupDir() { return joinPath(programDir, utf8ToEngine("csv文件备份")); }

    // A failed write or backup returns 0 with its fatal message for the caller, and shows nothing.
    void expectFatal(int result, const char* message) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(std::string(lastWriteFailure()), utf8ToEngine(message));
        EXPECT_TRUE(fakeWindow.messages.empty());
    }
};

std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().u8string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string packageUtf8() {
    // Rows with TABs, doubled quotes, CR LF, Chinese text and a character that only GB18030 holds.
    std::string title = "连衣裙 😀";
    return "version 1.00\r\n宝贝名称\t宝贝描述\r\n\"" + title +
           "\"\t\"<img src=\"\"http://img.alicdn.com/a.jpg\"\">\t\r\n\"\r\n";
}

} // namespace

TEST_F(WriterFixture, BackupsTakeTheLowestFreeNumberBesideTheProgram) {
    std::string package = joinPath(packageDir, "shop.csv");
    std::string bytes = utf8ToUtf16leWithBom(packageUtf8());
    while (bytes.size() < 3 * 8192 + 17)
        bytes += bytes; // several copy blocks and a partial one
    writeWholeFile(package, bytes);

    ASSERT_EQ(backupPackage(package.c_str()), 1);
    ASSERT_EQ(backupPackage(package.c_str()), 1);
    EXPECT_EQ(readWholeFile(joinPath(backupDir(), "shop(1).csv")), bytes);
    EXPECT_EQ(readWholeFile(joinPath(backupDir(), "shop(2).csv")), bytes);

    ASSERT_TRUE(removeFile(joinPath(backupDir(), "shop(1).csv").c_str()));
    writeWholeFile(package, "changed");
    ASSERT_EQ(backupPackage(package.c_str()), 1);
    EXPECT_EQ(readWholeFile(joinPath(backupDir(), "shop(1).csv")), "changed");
    EXPECT_EQ(readWholeFile(joinPath(backupDir(), "shop(2).csv")), bytes)
        << "earlier backups are never overwritten";
    EXPECT_FALSE(fileExists(joinPath(backupDir(), "shop(3).csv").c_str()));
    EXPECT_TRUE(fakeWindow.messages.empty());
}

TEST_F(WriterFixture, BackupNamesSplitAtTheLastDot) {
    std::string plain = joinPath(packageDir, "package");
    std::string dotted = joinPath(packageDir, utf8ToEngine("宝贝.2024.csv"));
    std::string empty = joinPath(packageDir, "empty.csv");
    writeWholeFile(plain, "p");
    writeWholeFile(dotted, "d");
    writeWholeFile(empty, "");
    ASSERT_EQ(backupPackage(plain.c_str()), 1);
    ASSERT_EQ(backupPackage(dotted.c_str()), 1);
    ASSERT_EQ(backupPackage(empty.c_str()), 1);
    EXPECT_EQ(readWholeFile(joinPath(backupDir(), "package(1)")), "p");
    EXPECT_EQ(readWholeFile(joinPath(backupDir(), utf8ToEngine("宝贝.2024(1).csv"))), "d");
    EXPECT_TRUE(fileExists(joinPath(backupDir(), "empty(1).csv").c_str()));
}

TEST_F(WriterFixture, BackupFailuresAreFatalWithTheirMessages) {
    std::string package = joinPath(packageDir, "shop.csv");
    writeWholeFile(package, "data");

    // A plain file where the backup folder belongs.
    writeWholeFile(backupDir(), "not a folder");
    expectFatal(backupPackage(package.c_str()), FOLDER_FAILED);
    ASSERT_TRUE(removeFile(backupDir().c_str()));

    expectFatal(backupPackage(joinPath(packageDir, "missing.csv").c_str()), SOURCE_FAILED);
}

TEST_F(WriterFixture, WrittenPackageKeepsEveryCharacter) {
    std::string package = joinPath(packageDir, "shop.csv");
    writeWholeFile(package, "old contents that are longer than nothing");
    std::string text = utf8ToEngine(packageUtf8());
    ASSERT_EQ(writePackage(package.c_str(), text.c_str()), 1);
    EXPECT_EQ(readWholeFile(package), utf8ToUtf16leWithBom(packageUtf8()));
    EXPECT_EQ(namesIn(packageDir), std::vector<std::string>{"shop.csv"}) << "no temporary file is left";

    // An empty text leaves just the byte-order mark.
    ASSERT_EQ(writePackage(package.c_str(), ""), 1);
    EXPECT_EQ(readWholeFile(package), std::string("\xFF\xFE", 2));
}

TEST_F(WriterFixture, AFailedWriteBackLeavesThePackageUntouched) {
    std::string package = joinPath(packageDir, "shop.csv");
    std::string original = utf8ToUtf16leWithBom(packageUtf8());
    writeWholeFile(package, original);
    std::string text = utf8ToEngine("宝贝名称\t宝贝描述\r\n\"新\"\t\"D:\\图\\新#01.jpg\"\r\n");

    struct Step {
        int step;
        const char* message;
    } steps[] = {
        {WRITER_STEP_CONVERT, CONVERT_FAILED}, {WRITER_STEP_OPEN, OPEN_FAILED},
        {WRITER_STEP_WRITE, WRITE_FAILED},     {WRITER_STEP_FLUSH, WRITE_FAILED},
        {WRITER_STEP_REPLACE, OPEN_FAILED},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.step);
        writerFailAtStep = s.step;
        expectFatal(writePackage(package.c_str(), text.c_str()), s.message);
        EXPECT_EQ(readWholeFile(package), original);
        EXPECT_EQ(namesIn(packageDir), std::vector<std::string>{"shop.csv"})
            << "the temporary file is removed";
    }

    // A package in a folder that is gone cannot be written either; nothing is left behind.
    writerFailAtStep = WRITER_STEP_NONE;
    expectFatal(writePackage(joinPath(packageDir, "gone/shop.csv").c_str(), text.c_str()), OPEN_FAILED);
}

#ifdef __linux__
TEST_F(WriterFixture, AFullDiskLeavesThePackageUntouched) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    std::string small = makeTempDir("writer-tmpfs");
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
        removeTree(small);
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    std::string package = joinPath(small, "shop.csv");
    std::string original = utf8ToUtf16leWithBom(packageUtf8());
    writeWholeFile(package, original);
    // Twice the file system's size once converted: the temporary file cannot be written whole.
    std::string text(64 * 1024, 'x');
    expectFatal(writePackage(package.c_str(), text.c_str()), WRITE_FAILED);
    EXPECT_EQ(readWholeFile(package), original);
    EXPECT_EQ(namesIn(small), std::vector<std::string>{"shop.csv"});

    // With room again, the same write succeeds.
    std::string fits(8 * 1024, 'y');
    EXPECT_EQ(writePackage(package.c_str(), fits.c_str()), 1);
    EXPECT_EQ(fileSize(package.c_str()), static_cast<long long>(2 + 2 * fits.size()));
    umount(small.c_str());
    removeTree(small);
}
#endif

namespace {

// A package as read: its text and every item with its image lists, flattened for comparison.
struct ReadBack {
    int result = 0;
    std::string text;
    std::vector<std::string> items;
};

void appendList(std::vector<std::string>& out, const char* name, const ArrayList* list) {
    if (!list) {
        out.push_back(std::string(name) + " none");
        return;
    }
    for (int32_t i = 0; i < list->count; i++)
        out.push_back(std::string(name) + " " + static_cast<char*>(list->items[i]));
}

ReadBack readBack(const std::string& path) {
    ReadBack read;
    ArrayList* items = arrayListCreate(256, 64);
    char* text = nullptr;
    read.result = readPackage(path.c_str(), items, &text, 0);
    if (text) read.text = text;
    for (int32_t i = 0; i < items->count; i++) {
        const Item* item = static_cast<const Item*>(items->items[i]);
        read.items.push_back(std::string("title ") + item->title);
        appendList(read.items, "desc", item->descImages);
        appendList(read.items, "mobile", item->mobileImages);
    }
    clearItems(items);
    arrayListDestroy(items, 0);
    std::free(text);
    return read;
}

} // namespace

TEST_F(WriterFixture, ATaobaoAssistantPackageSurvivesTheRoundTripByteForByte) {
    std::string original =
        readWholeFile(std::string(VEDO_SOURCE_DIR) + "/tests/data/taobao-assistant-5x.csv");
    ASSERT_FALSE(original.empty());
    std::string package = joinPath(packageDir, "shop.csv");
    writeWholeFile(package, original);

    ReadBack first = readBack(package);
    ASSERT_EQ(first.result, 1);
    ASSERT_FALSE(first.items.empty());
    ASSERT_EQ(writePackage(package.c_str(), first.text.c_str()), 1);
    EXPECT_TRUE(readWholeFile(package) == original) << "the written file differs from the exported one";

    ReadBack second = readBack(package);
    ASSERT_EQ(second.result, 1);
    EXPECT_EQ(second.text, first.text);
    EXPECT_EQ(second.items, first.items);
}

TEST_F(WriterFixture, EveryCharacterSurvivesTheRoundTripAndWebpSuffixesGo) {
    std::string utf8 = "version 1.00\r\n"
                       "宝贝名称\t宝贝描述\t无线详情\t宝贝卖点\r\n"
                       "\"𠮷野家 😀 连衣裙\"\t\"<p>\t第一行\r\n「引号」\"\"x\"\"</p>"
                       "<img src=\"\"http://img.alicdn.com/a.jpg_.webp\"\">\"\t"
                       "\"<wapDesc><img>http://img.alicdn.com/m.png</img></wapDesc>\"\t\"卖点\"\r\n";
    std::string package = joinPath(packageDir, "shop.csv");
    writeWholeFile(package, utf8ToUtf16leWithBom(utf8));

    ReadBack first = readBack(package);
    ASSERT_EQ(first.result, 1);
    ASSERT_EQ(writePackage(package.c_str(), first.text.c_str()), 1);
    std::string written = readWholeFile(package);
    std::string expected = utf8;
    expected.erase(expected.find("_.webp"), 6);
    EXPECT_TRUE(written == utf8ToUtf16leWithBom(expected)) << "only the webp suffix may differ";

    ReadBack second = readBack(package);
    ASSERT_EQ(second.result, 1);
    EXPECT_EQ(second.text, first.text);
    EXPECT_EQ(second.items, first.items);
    EXPECT_NE(engineToUtf8(second.text).find("𠮷野家 😀"), std::string::npos);
}

TEST_F(WriterFixture, AStartingRunRemovesOnlyTheTemporaryFilesThatNoLiveRunHolds) {
    std::string package = joinPath(packageDir, "shop.csv");
    writeWholeFile(package, "package");
    writeWholeFile(joinPath(packageDir, "~vedo1a2b3c"), "a killed run's write-back");
    writeWholeFile(joinPath(packageDir, "~vedo9z8y"), "a live run's write-back");
    writeWholeFile(joinPath(packageDir, "~$shop.xlsx"), "the seller's own");
    FileLock live{-1};
    ASSERT_EQ(lockFile(joinPath(packageDir, "~vedo9z8y").c_str(), &live), LOCK_TAKEN);
    removeLeftoverWriteBackFiles(package.c_str());
    unlockFile(&live);
    EXPECT_EQ(namesIn(packageDir), (std::vector<std::string>{"shop.csv", "~$shop.xlsx", "~vedo9z8y"}));
}

TEST_F(WriterFixture, ASnapshotTellsAPackageChangedOnDisk) {
    std::string package = joinPath(packageDir, "shop.csv");
    writeWholeFile(package, "package bytes");
    PackageSnapshot loaded;
    ASSERT_EQ(snapshotPackage(package.c_str(), &loaded), 1);
    EXPECT_EQ(packageUnchanged(package.c_str(), loaded), 1);
    // Other bytes of the same size under the same modification time: only the hash tells.
    PackageSnapshot sameSizeAndTime = loaded;
    sameSizeAndTime.hash ^= 1;
    EXPECT_EQ(packageUnchanged(package.c_str(), sameSizeAndTime), 0);
    writeWholeFile(package, "package bytes, longer");
    EXPECT_EQ(packageUnchanged(package.c_str(), loaded), 0);
    removeFile(package.c_str());
    EXPECT_EQ(packageUnchanged(package.c_str(), loaded), 0);
}
