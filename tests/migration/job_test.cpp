// The migration job driven through the recording window, against a scripted image server.
#include "core/appdir.h"
#include "core/text.h"
#include "http/connectiontest.h"
#include "migration/job.h"
#include "package/item.h"
#include "package/reader.h"
#include "package/writer.h"
#include "support/fakewindow.h"
#include "support/testfiles.h"
#include "tools/support/testserver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct JobTest : ::testing::Test {
    TestServer server;
    std::string dir;
    std::string folder;
    std::string savedAppDir = appDir;

    void SetUp() override {
        dir = makeTempDir("job");
        folder = joinPath(dir, "images");
        fs::create_directories(folder);
        copyBounded(appDir, sizeof appDir, dir.c_str());
        initConnectionPool();
        setLoopbackOnly(1);
        setConnectionTimeouts(10000, 15000); // never reached on a busy machine
        closeAllPooledSockets();
        resetConnectFailures();
        ASSERT_EQ(startTestServer(server), 1);
        resetFakeWindow();
        copyBounded(fakeWindow.options.destFolder, sizeof fakeWindow.options.destFolder, folder.c_str());
        stopRequested = 0;
        jobRunning = 0;
    }

    void TearDown() override {
        closeAllPooledSockets();
        stopTestServer(server);
        if (items) {
            clearItems(items);
            arrayListDestroy(items, 0);
            items = nullptr;
        }
        std::free(packageText);
        packageText = nullptr;
        stopRequested = 0;
        jobRunning = 0;
        copyBounded(appDir, sizeof appDir, savedAppDir.c_str());
        removeTree(dir);
    }

    std::string url(const std::string& path) { return serverUrl(server, path); }

    // Writes and loads a package of (title, description, mobile details) rows.
    void load(const std::vector<std::vector<std::string>>& rows) {
        std::string text = "version 1.00\r\n宝贝名称\t宝贝描述\t无线详情\t宝贝价格\r\n";
        for (const auto& r : rows)
            text += csvQuoted(r[0]) + "\t" + csvQuoted(r[1]) + "\t" + csvQuoted(r[2]) + "\t1\r\n";
        std::string path = joinPath(dir, "shop.csv");
        writeWholeFile(path, utf8ToUtf16leWithBom(text));
        copyBounded(packagePath, sizeof packagePath, path.c_str());
        items = arrayListCreate(256, 64);
        ASSERT_EQ(readPackage(packagePath, items, &packageText, 0), 1) << engineToUtf8(lastReadFailure());
        for (int32_t i = 0; i < items->count; i++)
            static_cast<Item*>(items->items[i])->index = i;
    }

    std::string cell(int row, int column) {
        if (fakeWindow.rows.size() <= static_cast<size_t>(row)) return "";
        return engineToUtf8(fakeWindow.rows[static_cast<size_t>(row)][static_cast<size_t>(column)]);
    }

    std::vector<std::string> files() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(folder))
            names.push_back(e.path().filename().u8string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

std::string img(const std::string& url) {
    return "<img src=\"" + url + "\">";
}

// The start checks of both front ends refuse in their order, each with its text, and take the
// package only when every one passes.
TEST_F(JobTest, StartChecksRefuseInTheirOrderAndTakeThePackageLast) {
    load({{"甲", "", ""}});
    struct Case {
        int imageSpace, thirdParty;
        std::string folder;
        int refusal;
        const char* text;
    };
    const Case cases[] = {
        {0, 0, "", START_NO_SOURCE,
         "[搬来自淘宝图片空间里的图片] 与 [搬来自第三方相册里的图片] 至少需选择其中一项"},
        {1, 0, "", START_NO_FOLDER, "请选择图片搬家后保存到哪一个文件夹中"},
        {0, 1, joinPath(dir, "none"), START_FOLDER_MISSING, "选择的文件夹不存在，请重新选择"},
        {1, 1, packagePath, START_FOLDER_MISSING, "选择的文件夹不存在，请重新选择"},
        {1, 1, folder, PACKAGE_READY, ""},
        {1, 1, folder, PACKAGE_BUSY, "数据包正在被另一个搬家任务使用，请等它结束后再试。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refusal);
        JobOptions options = fakeWindow.options;
        options.migrateImageSpace = c.imageSpace;
        options.migrateThirdParty = c.thirdParty;
        EXPECT_EQ(checkRunStart(options, c.folder.c_str(), packagePath), c.refusal);
        EXPECT_STREQ(runStartRefusalText(c.refusal), c.text);
    }
    endPackageRun();
}

TEST_F(JobTest, RowsProgressAndTheEndOfARun) {
    serveResource(server, "/1.jpg", jpegBody(500, 1));
    load({{"甲", img(url("/1.jpg")) + img(url("/404.jpg")), ""},
          {"乙", "", "<img>" + url("/404.jpg") + "</img>"}});
    fakeWindow.selectedRows = {1};
    EXPECT_EQ(runMigrationJob(), 0);

    EXPECT_EQ(fakeWindow.visibleRequests, (std::vector<int>{0, 1}));
    EXPECT_EQ(cell(0, 1), "完成");
    EXPECT_EQ(cell(0, 2), "1");
    EXPECT_EQ(cell(0, 3), "") << "no mobile failure list, no count";
    EXPECT_EQ(cell(1, 1), "完成");
    EXPECT_EQ(cell(1, 2), "");
    EXPECT_EQ(cell(1, 3), "1") << "a failed address is counted once but listed for every item";
    EXPECT_EQ(fakeWindow.progressPositions, (std::vector<int>{1, 2}));
    EXPECT_EQ(fakeWindow.selectionNotifications, 1) << "the selected row had failures";

    std::vector<std::string> texts;
    for (const auto& t : fakeWindow.progressTexts)
        texts.push_back(engineToUtf8(t));
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts[0], "搬家进度(宝贝数:2, 已搬家宝贝数:1)");
    EXPECT_EQ(texts[2], "搬家进度(宝贝数:2, 已搬家宝贝数:2), 正在更新csv文件...");
    EXPECT_EQ(texts[texts.size() - 2], "搬家进度(宝贝数:2, 已搬家宝贝数:2), 正在更新csv文件...(100%)");
    EXPECT_EQ(texts.back(), "搬家进度(宝贝数:2, 已搬家宝贝数:2)");

    ASSERT_EQ(fakeWindow.messages.size(), 1u);
    EXPECT_EQ(engineToUtf8(fakeWindow.messages[0].caption), "完成");
    EXPECT_NE(engineToUtf8(fakeWindow.messages[0].text).find("注意：有部分图片搬家失败！"),
              std::string::npos);
    EXPECT_EQ(fakeWindow.buttonsRestored, 1);
    EXPECT_EQ(jobRunning.load(), 0);
    EXPECT_EQ(packageText, nullptr);
    EXPECT_EQ(static_cast<Item*>(items->items[1])->status, ITEM_STATUS_FINISHED);
    EXPECT_EQ(jobSummary.failureCount, 1);
    EXPECT_EQ(jobSummary.packageChanged, 1);
}

TEST_F(JobTest, NothingToMoveLeavesThePackageAlone) {
    load({{"甲", "<p>无图</p>", ""}, {"乙", "", ""}});
    std::string before = readWholeFile(packagePath);
    runMigrationJob();
    EXPECT_EQ(cell(0, 1), "完成");
    EXPECT_EQ(cell(1, 1), "完成");
    ASSERT_EQ(fakeWindow.messages.size(), 1u);
    EXPECT_EQ(engineToUtf8(fakeWindow.messages[0].text), "没有找到需要搬家的图片。");
    EXPECT_EQ(readWholeFile(packagePath), before);
    EXPECT_TRUE(fs::exists(fs::path(dir) / fs::u8path("csv文件备份") / "shop(1).csv"))
        << "the backup comes first";
}

// With secure mode off, the https and protocol-relative addresses that the run's options would move
// are counted once each across the package and named in a last line of every final message.
TEST_F(JobTest, TheFinalMessageCountsTheHttpsAddressesLeft) {
    serveResource(server, "/c.jpg", jpegBody(300, 3));
    const std::string a = "https://img.alicdn.com/a.jpg";
    const std::vector<std::vector<std::string>> rows = {
        {"甲",
         img(a) + img("//shop.example.cn/b.jpg") + img(a) +
             img("HTTPS://img.alicdn.com/imgextra/i1/T1_blank1.jpg"),
         "<img>" + a + "</img><img>//img.alicdn.com/m.jpg</img>"},
        {"乙", img(a), "<img>" + a + "</img>"}};
    auto finalMessage = [&](int imageSpace, int thirdParty, bool withHttp) {
        if (items) {
            clearItems(items);
            arrayListDestroy(items, 0);
            items = nullptr;
        }
        std::vector<std::vector<std::string>> package = rows;
        if (withHttp) package[1][1] += img(url("/c.jpg"));
        load(package);
        fakeWindow.messages.clear();
        fakeWindow.options.migrateImageSpace = imageSpace;
        fakeWindow.options.migrateThirdParty = thirdParty;
        runMigrationJob();
        return fakeWindow.messages.size() == 1 ? engineToUtf8(fakeWindow.messages[0].text) : "";
    };
    const std::string left =
        "\n\n数据包中还有%d个https图片地址未搬家，勾选[同时搬家https图片地址]后再次搬家即可。";
    auto line = [&](int n) {
        std::string text = left;
        text.replace(text.find("%d"), 2, std::to_string(n));
        return text;
    };
    // The blank placeholder in capitals is not the blank one and counts too.
    EXPECT_EQ(finalMessage(1, 1, false), "没有找到需要搬家的图片。" + line(4));
    EXPECT_EQ(jobSummary.uncollectedSecureCount, 4);
    EXPECT_EQ(finalMessage(1, 0, false), "没有找到需要搬家的图片。" + line(3)) << "a, m and the blank one";
    EXPECT_EQ(finalMessage(0, 1, true), "图片搬家已完成，数据包(CSV文件)已更新。" + line(1))
        << "b alone: the mobile details move with the image space only";
    EXPECT_EQ(files(), std::vector<std::string>{"乙#01.jpg"});
    EXPECT_EQ(finalMessage(1, 0, true), "没有找到需要搬家的图片。" + line(3))
        << "c is no image-space address";

    if (items) {
        clearItems(items);
        arrayListDestroy(items, 0);
        items = nullptr;
    }
    load({{"丙", img(url("/c.jpg")), ""}});
    fakeWindow.messages.clear();
    fakeWindow.options.migrateImageSpace = fakeWindow.options.migrateThirdParty = 1;
    runMigrationJob();
    ASSERT_EQ(fakeWindow.messages.size(), 1u);
    EXPECT_EQ(engineToUtf8(fakeWindow.messages[0].text), "图片搬家已完成，数据包(CSV文件)已更新。")
        << "no line without https addresses";
    EXPECT_EQ(jobSummary.uncollectedSecureCount, 0);
}

TEST_F(JobTest, AFailedImageGivesItsNumberBack) {
    serveResource(server, "/a.jpg", jpegBody(300, 1));
    serveResource(server, "/b.jpg", jpegBody(300, 2));
    // Port 1 on loopback refuses at once: the download fails before it opens the file that took
    // its name. A 404 fails after the file was opened. Either way the name is given back, no
    // empty file stays, and the next image takes the same number.
    load({{"衣",
           img("http://127.0.0.1:1/x.jpg") + img(url("/a.jpg")) + img(url("/missing.jpg")) +
               img(url("/b.jpg")),
           ""}});
    runMigrationJob();
    EXPECT_EQ(files(), (std::vector<std::string>{"衣#01.jpg", "衣#02.jpg"}));
    EXPECT_EQ(readWholeFile(joinPath(folder, utf8ToEngine("衣#01.jpg"))), jpegBody(300, 1));
    EXPECT_EQ(readWholeFile(joinPath(folder, utf8ToEngine("衣#02.jpg"))), jpegBody(300, 2));
    EXPECT_EQ(cell(0, 2), "2");
}

TEST_F(JobTest, AStopRequestWritesBackAndEndsTheProcess) {
    serveResource(server, "/a.jpg", jpegBody(300, 1));
    load({{"甲", img(url("/a.jpg")), ""}, {"乙", img(url("/a.jpg")), ""}});
    stopRequested = 1; // the close was confirmed before the first image
    try {
        runMigrationJob();
        FAIL() << "a stopped run ends the process";
    } catch (const ProcessEnded& ended) {
        EXPECT_EQ(ended.status, 0);
    }
    EXPECT_TRUE(fakeWindow.messages.empty()) << "no final message after a stop";
    EXPECT_TRUE(fakeWindow.progressPositions.empty());
    EXPECT_TRUE(files().empty());
}

// The writer returns its failures; the job shows them as fatal and ends the process.
TEST_F(JobTest, AFailedBackupOrWriteBackEndsTheRunWithItsMessage) {
    serveResource(server, "/a.jpg", jpegBody(300, 1));
    std::string blocker = joinPath(dir, "blocker"); // no backup folder can be made under a file
    writeWholeFile(blocker, "not a folder");
    for (bool backupFails : {true, false}) {
        resetFakeWindow();
        copyBounded(fakeWindow.options.destFolder, sizeof fakeWindow.options.destFolder, folder.c_str());
        load({{"甲", img(url("/a.jpg")), ""}});
        copyBounded(appDir, sizeof appDir, (backupFails ? blocker : dir).c_str());
        writerFailAtStep = backupFails ? WRITER_STEP_NONE : WRITER_STEP_WRITE;
        EXPECT_THROW(runMigrationJob(), ProcessEnded);
        writerFailAtStep = WRITER_STEP_NONE;
        ASSERT_EQ(fakeWindow.messages.size(), 1u);
        EXPECT_EQ(engineToUtf8(fakeWindow.messages[0].text),
                  backupFails ? "创建 [csv文件备份] 文件夹失败" : "更新CSV文件失败：写入文件出错。");
        clearItems(items);
        arrayListDestroy(items, 0);
        items = nullptr;
        std::free(packageText);
        packageText = nullptr;
    }
}

TEST_F(JobTest, SelectedSourcesDecideWhichDescriptionImagesMove) {
    EXPECT_TRUE(isImageSpaceAddress("http://img01.taobaocdn.com/a.jpg"));
    EXPECT_TRUE(isImageSpaceAddress("http://img.alicdn.com/a.jpg"));
    EXPECT_FALSE(isImageSpaceAddress("http://img.ALICDN.com/a.jpg")) << "the test is case-sensitive";
    EXPECT_FALSE(isImageSpaceAddress("http://alicdn.com/a.jpg"));
}

} // namespace

namespace {

// The addresses that a fresh read of the package collects from the items' descriptions.
std::vector<std::string> descriptionAddressesOnDisk() {
    clearItems(items);
    std::free(packageText);
    packageText = nullptr;
    std::vector<std::string> addresses;
    if (readPackage(packagePath, items, &packageText, 0) != 1) return {"unreadable"};
    for (int32_t i = 0; i < items->count; i++) {
        Item* item = static_cast<Item*>(items->items[i]);
        item->index = i;
        for (int32_t k = 0; k < item->descImages->count; k++)
            addresses.push_back(static_cast<const char*>(item->descImages->items[k]));
    }
    return addresses;
}

TEST_F(JobTest, ALaterRunStillFindsTheLongerAddressThatAMovedOneBegins) {
    // The first run moves the third-party image only; the image-space address that begins with its
    // address stays whole for the next run, like a link to the large image.
    const std::string shorter = url("/1.jpg");
    const std::string longer = url("/1.jpg_.alicdn.com/big.jpg");
    serveResource(server, "/1.jpg", jpegBody(300, 1));
    serveResource(server, "/1.jpg_.alicdn.com/big.jpg", jpegBody(300, 2));
    load({{"甲", img(shorter) + "<a href=\"" + url("/1.jpg_big.jpg") + "\">", ""}, {"乙", img(longer), ""}});
    fakeWindow.options.migrateImageSpace = 0;
    runMigrationJob();
    EXPECT_EQ(descriptionAddressesOnDisk(), (std::vector<std::string>{longer}));

    fakeWindow.options.migrateImageSpace = 1;
    runMigrationJob();
    EXPECT_EQ(files(), (std::vector<std::string>{"乙#01.jpg", "甲#01.jpg"}));
    EXPECT_EQ(readWholeFile(joinPath(folder, utf8ToEngine("乙#01.jpg"))), jpegBody(300, 2));
    EXPECT_TRUE(descriptionAddressesOnDisk().empty());
    EXPECT_NE(std::string(packageText).find(url("/1.jpg_big.jpg")), std::string::npos);
}

} // namespace
