// The wizard window, created for real and driven as a user would: the pages, the package load
// and its refusals, the start checks, a whole run against a local image server, the failed
// addresses of a row, closing during a run, and drops.
#include "uidriver.h"

#include "core/scope.h"
#include "http/connectiontest.h"
#include "http/download.h"
#include "migration/job.h"
#include "migration/jobwindow.h"
#include "package/item.h"
#include "platform/files.h"
#include "support/testfiles.h"
#include "tools/support/testserver.h"
#include "ui/mainwindow.h"
#include "ui/startup.h"
#include "ui/wintext.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <shlobj.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

const std::string DESC_HEADING =
    "[宝贝描述]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";
const std::string MOBILE_HEADING =
    "[无线详情]图片搬家失败列表，可复制下列图片地址到浏览器中查看图片能否正常显示：";

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureMainWindow();
        takeBoxes();
        folder = makeTempDir("ui");
    }
    void TearDown() override {
        takeBoxes();
        removeTree(folder);
    }
    std::string folder;
};

std::string descImage(const std::string& url) {
    return "<p><img src=\"" + url + "\" /></p>";
}
std::string mobileImage(const std::string& url) {
    return "<wapDesc><img>" + url + "</img></wapDesc>";
}

std::string readBrowserLog() {
    return readWholeFile(browserLogPath());
}

TEST_F(MainWindowTest, StartsOnPageOneWithBothSourcesTicked) {
    if (currentPage != 1) GTEST_SKIP() << "the window has already left its first state";
    EXPECT_TRUE(IsWindowVisible(controls.window));
    EXPECT_TRUE(IsWindowVisible(controls.page1));
    EXPECT_FALSE(IsWindowVisible(controls.page2));
    EXPECT_TRUE(IsWindowVisible(controls.next));
    EXPECT_TRUE(IsWindowVisible(controls.close));
    EXPECT_FALSE(IsWindowVisible(controls.back));
    EXPECT_TRUE(IsWindowVisible(controls.helpLink));
    EXPECT_TRUE(IsWindowVisible(controls.websiteLink));
    EXPECT_EQ("下一步", textOf(controls.next));
    EXPECT_EQ("Vantiro(V6.9)", textOf(controls.window));
    EXPECT_TRUE(isChecked(controls.moveImageSpace));
    EXPECT_TRUE(isChecked(controls.moveThirdParty));
    EXPECT_FALSE(isChecked(controls.blankFailed));
    EXPECT_FALSE(isChecked(controls.moveHttps));
    EXPECT_TRUE(acceptsDrops());

    // The list's columns and its 19-pixel rows.
    LVCOLUMNW column;
    wchar_t name[64];
    const char* names[] = {"宝贝标题", "状态", "电脑端失败数", "手机端失败数"};
    const int widths[] = {340, 80, 96, 96};
    for (int i = 0; i < 4; i++) {
        std::memset(&column, 0, sizeof column);
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = name;
        column.cchTextMax = 64;
        ASSERT_TRUE(SendMessageW(controls.list, LVM_GETCOLUMNW, i, reinterpret_cast<LPARAM>(&column)));
        EXPECT_EQ(names[i], wideToUtf8(name));
        EXPECT_EQ(widths[i], column.cx);
    }
    RECT outer;
    GetWindowRect(controls.window, &outer);
    EXPECT_EQ(680, outer.right - outer.left);
}

TEST_F(MainWindowTest, NextRefusesAnEmptyPathAndAMissingFile) {
    if (currentPage == 2) click(controls.back);
    setControlText(controls.csvPath, L"");
    click(controls.next);
    auto shown = takeBoxes();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("请选择一个淘宝数据包(csv)文件", shown[0].text);
    EXPECT_EQ("提示", shown[0].caption);
    EXPECT_EQ(ICON_WARNING, shown[0].icon);
    EXPECT_EQ(controls.chooseCsv, GetFocus());
    EXPECT_EQ(1, currentPage);

    dropFiles({widePath(joinPath(folder, utf8ToEngine("不存在.csv")))});
    click(controls.next);
    shown = takeBoxes();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("选择的csv文件不存在，请重新选择", shown[0].text);
    EXPECT_EQ(ICON_WARNING, shown[0].icon);
    EXPECT_EQ(controls.chooseCsv, GetFocus());
    EXPECT_EQ(1, currentPage);
    EXPECT_TRUE(IsWindowVisible(controls.page1));
}

TEST_F(MainWindowTest, APackageThatCannotBeReadAsksToConvertIt) {
    std::string path = joinPath(folder, utf8ToEngine("坏包.csv"));
    writeWholeFile(path, "version 1.00\r\n");
    std::remove(browserLogPath().c_str());

    loadPackage(widePath(path));
    auto shown = takeBoxes();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("提示", shown[0].caption);
    EXPECT_EQ(ICON_QUESTION, shown[0].icon);
    const std::string& text = shown[0].text;
    SCOPED_TRACE(text);
    EXPECT_EQ(0u, text.find("[坏包.csv]数据格式存在问题"));
    size_t count = 0;
    for (size_t at = text.find("[坏包.csv]"); at != std::string::npos; at = text.find("[坏包.csv]", at + 1))
        count++;
    EXPECT_EQ(4u, count);
    EXPECT_NE(std::string::npos, text.find("是否需要进入官网查看详细操作指南？"));
    EXPECT_EQ(1, currentPage);
    EXPECT_EQ(controls.chooseCsv, GetFocus());
    EXPECT_EQ("", readBrowserLog()) << "No answers without opening a page";

    queueBoxAnswer(IDYES);
    click(controls.next);
    ASSERT_EQ(1u, takeBoxes().size());
    EXPECT_EQ("http://127.0.0.1:9/site/convert.html\n", readBrowserLog());
    EXPECT_EQ(1, currentPage);
}

TEST_F(MainWindowTest, AGoodPackageOpensPageTwoAndRefusesDrops) {
    std::string path = joinPath(folder, "shop.csv");
    writeTestPackage(path, {{"宝贝一", descImage("http://127.0.0.1:9/a.jpg"), ""},
                            {"宝贝二 \"引号\"", "", ""},
                            {"宝贝三", "", mobileImage("http://127.0.0.1:9/m.jpg")}});
    loadPackage(widePath(path));
    for (const auto& box : takeBoxes())
        ADD_FAILURE() << box.caption << ": " << box.text;
    ASSERT_EQ(2, currentPage);
    EXPECT_FALSE(IsWindowVisible(controls.page1));
    EXPECT_TRUE(IsWindowVisible(controls.page2));
    EXPECT_TRUE(IsWindowVisible(controls.back));
    EXPECT_EQ("开始搬家", textOf(controls.next));
    EXPECT_EQ("搬家进度(宝贝数:3)", textOf(controls.progressText));
    ASSERT_EQ(3, rowCount());
    EXPECT_EQ("宝贝一", cellText(0, 0));
    EXPECT_EQ("宝贝二 \"\"引号\"\"", cellText(1, 0)) << "titles keep their doubled quotes";
    for (int row = 0; row < 3; row++) {
        EXPECT_EQ("等待", cellText(row, 1));
        EXPECT_EQ("", cellText(row, 2));
        EXPECT_EQ("", cellText(row, 3));
    }
    EXPECT_EQ(0, SendMessageW(controls.progress, PBM_GETPOS, 0, 0));
    EXPECT_EQ(3, SendMessageW(controls.progress, PBM_GETRANGE, FALSE, 0));

    // Drops are refused on page 2: the window no longer takes them, and one that arrives anyway
    // changes nothing.
    EXPECT_FALSE(acceptsDrops());
    dropFiles({widePath(joinPath(folder, "other.csv"))});
    EXPECT_EQ(path, controlEngineText(controls.csvPath));
}

TEST_F(MainWindowTest, BackAndNextReloadThePackageAndResetTheOptions) {
    std::string path = joinPath(folder, "shop.csv");
    writeTestPackage(path, {{"宝贝一", "", ""}, {"宝贝二", "", ""}});
    loadPackage(widePath(path));
    ASSERT_EQ(2, currentPage);
    setChecked(controls.moveImageSpace, false);
    setChecked(controls.blankFailed, true);
    setControlText(controls.destFolder, widePath(folder).c_str());

    click(controls.back);
    EXPECT_EQ(1, currentPage);
    EXPECT_TRUE(IsWindowVisible(controls.page1));
    EXPECT_FALSE(IsWindowVisible(controls.back));
    EXPECT_EQ("下一步", textOf(controls.next));
    EXPECT_TRUE(acceptsDrops());

    // The file changed on disk meanwhile: the next load reads it afresh.
    writeTestPackage(path, {{"宝贝一", "", ""}, {"宝贝二", "", ""}, {"宝贝三", "", ""}});
    click(controls.next);
    ASSERT_EQ(2, currentPage);
    EXPECT_EQ(3, rowCount());
    EXPECT_EQ("宝贝三", cellText(2, 0));
    EXPECT_TRUE(isChecked(controls.moveImageSpace));
    EXPECT_TRUE(isChecked(controls.moveThirdParty));
    EXPECT_FALSE(isChecked(controls.blankFailed));
    EXPECT_EQ("", textOf(controls.destFolder));
    EXPECT_EQ("搬家进度(宝贝数:3)", textOf(controls.progressText));
}

TEST_F(MainWindowTest, StartChecksRunInOrderWithTheirMessagesAndFocus) {
    std::string path = joinPath(folder, "shop.csv");
    writeTestPackage(path, {{"宝贝一", "", ""}});
    loadPackage(widePath(path));
    ASSERT_EQ(2, currentPage);

    // 1: no source, checked before the (also empty) destination.
    setChecked(controls.moveImageSpace, false);
    setChecked(controls.moveThirdParty, false);
    click(controls.next);
    auto shown = takeBoxes();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("[搬来自淘宝图片空间里的图片] 与 [搬来自第三方相册里的图片] 至少需选择其中一项", shown[0].text);
    EXPECT_EQ("提示", shown[0].caption);
    EXPECT_EQ(ICON_WARNING, shown[0].icon);
    EXPECT_EQ(controls.moveImageSpace, GetFocus());

    // 2: no destination.
    setChecked(controls.moveThirdParty, true);
    click(controls.next);
    shown = takeBoxes();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("请选择图片搬家后保存到哪一个文件夹中", shown[0].text);
    EXPECT_EQ(controls.chooseFolder, GetFocus());

    // 3: a destination that is not a folder.
    setControlText(controls.destFolder, widePath(joinPath(folder, utf8ToEngine("没有"))).c_str());
    click(controls.next);
    shown = takeBoxes();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("选择的文件夹不存在，请重新选择", shown[0].text);
    EXPECT_EQ(controls.chooseFolder, GetFocus());

    // 4: the desktop itself is refused, a folder inside it is not looked at here.
    char desktop[PATH_BUFFER_SIZE] = {0};
    ASSERT_TRUE(specialFolderPath(CSIDL_DESKTOP_FOLDER, desktop));
    makeDirectory(desktop);
    ASSERT_TRUE(isDirectory(desktop));
    setControlText(controls.destFolder, widePath(desktop).c_str());
    click(controls.next);
    shown = takeBoxes();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("不可以将图片搬家到[桌面]"
              "上，因为将图片搬家到桌面上，图片有可能会铺满整个桌面。\n\n请重新选择一个文件夹。",
              shown[0].text);
    EXPECT_EQ(ICON_WARNING, shown[0].icon);
    EXPECT_EQ(controls.chooseFolder, GetFocus());

    // Nothing started: everything is still enabled.
    EXPECT_EQ(0, jobRunning.load());
    EXPECT_TRUE(IsWindowEnabled(controls.next));
    EXPECT_TRUE(IsWindowEnabled(controls.back));
    EXPECT_TRUE(IsWindowEnabled(controls.chooseFolder));
    EXPECT_TRUE(IsWindowEnabled(controls.moveImageSpace));
}

TEST_F(MainWindowTest, AWholeRunShowsProgressFailuresAndGivesTheButtonsBack) {
    TestServer server;
    ASSERT_TRUE(startTestServer(server));
    std::string good = serverUrl(server, "/img/good.jpg");
    std::string shared = serverUrl(server, "/img/shared.jpg");
    std::string missing = serverUrl(server, "/img/missing.jpg");
    std::string mobile = serverUrl(server, "/img/mobile.jpg");
    std::string mobileMissing = serverUrl(server, "/img/mobile-missing.jpg");
    serveResource(server, "/img/shared.jpg", jpegBody(3000, 2));
    serveResource(server, "/img/mobile.jpg", jpegBody(2500, 3));
    // The first image is held back until the first row has been seen at work.
    serveResource(server, "/img/good.jpg", jpegBody(8000, 1));
    holdPath(server, "/img/good.jpg", true);

    std::string path = joinPath(folder, "shop.csv");
    std::string images = joinPath(folder, "images");
    makeDirectory(images.c_str());
    writeTestPackage(
        path, {{"宝贝一", descImage(good) + descImage(shared) + descImage(missing), mobileImage(mobile)},
               {"宝贝二", descImage(shared), mobileImage(mobileMissing)},
               {"宝贝三", "", ""}});
    loadPackage(widePath(path));
    ASSERT_EQ(2, currentPage);
    setControlText(controls.destFolder, widePath(images).c_str());

    click(controls.next);
    EXPECT_FALSE(IsWindowEnabled(controls.next));
    EXPECT_FALSE(IsWindowEnabled(controls.back));
    EXPECT_FALSE(IsWindowEnabled(controls.chooseFolder));
    EXPECT_FALSE(IsWindowEnabled(controls.moveImageSpace));
    EXPECT_FALSE(IsWindowEnabled(controls.moveThirdParty));
    EXPECT_FALSE(IsWindowEnabled(controls.blankFailed));
    EXPECT_TRUE(IsWindowEnabled(controls.close));

    ASSERT_TRUE(pumpUntil([] { return cellText(0, 1) == "搬家中"; }, 5000)) << cellText(0, 1);
    EXPECT_EQ("等待", cellText(1, 1));

    // 关闭 answered Cancel: the run goes on and nothing changes.
    queueBoxAnswer(IDCANCEL);
    click(controls.close);
    auto shown = takeBoxes();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("正在搬家，确定要关闭吗？", shown[0].text);
    EXPECT_EQ("确认", shown[0].caption);
    EXPECT_EQ(ICON_QUESTION, shown[0].icon);
    EXPECT_EQ(0, stopRequested.load());
    EXPECT_TRUE(IsWindowEnabled(controls.close));
    EXPECT_TRUE(systemCloseEnabled());
    holdPath(server, "/img/good.jpg", false);

    ASSERT_TRUE(pumpUntil([] { return IsWindowEnabled(controls.back) != 0; }, 30000));
    shown = takeBoxes();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("完成", shown[0].caption);
    EXPECT_EQ(ICON_INFORMATION, shown[0].icon);
    EXPECT_EQ(0u,
              shown[0].text.find("图片搬家已完成，数据包(CSV文件)已更新。\n\n注意：有部分图片搬家失败！"));

    EXPECT_EQ(0, jobRunning.load());
    for (int row = 0; row < 3; row++)
        EXPECT_EQ("完成", cellText(row, 1)) << row;
    EXPECT_EQ("1", cellText(0, 2));
    EXPECT_EQ("", cellText(0, 3));
    EXPECT_EQ("", cellText(1, 2));
    EXPECT_EQ("1", cellText(1, 3));
    EXPECT_EQ("", cellText(2, 2));
    EXPECT_EQ(3, SendMessageW(controls.progress, PBM_GETPOS, 0, 0));
    EXPECT_EQ("搬家进度(宝贝数:3, 已搬家宝贝数:3)", textOf(controls.progressText));
    EXPECT_TRUE(IsWindowEnabled(controls.close));
    EXPECT_TRUE(systemCloseEnabled());
    EXPECT_FALSE(IsWindowEnabled(controls.next));
    EXPECT_FALSE(IsWindowEnabled(controls.chooseFolder));
    EXPECT_FALSE(IsWindowEnabled(controls.moveImageSpace));
    EXPECT_FALSE(IsWindowEnabled(controls.blankFailed));

    // The package now names the saved files instead of their addresses.
    std::string text = readWholeFile(path);
    std::wstring wide(reinterpret_cast<const wchar_t*>(text.data() + 2), (text.size() - 2) / 2);
    std::string utf8 = wideToUtf8(wide);
    EXPECT_EQ(std::string::npos, utf8.find(good));
    EXPECT_EQ(std::string::npos, utf8.find(shared));
    EXPECT_NE(std::string::npos, utf8.find(missing));
    EXPECT_NE(std::string::npos, utf8.find(wideToUtf8(widePath(images))));

    // A selected row shows its failed addresses; a row without failures empties the box.
    selectRow(0);
    EXPECT_EQ(DESC_HEADING + "\r\n" + missing, textOf(controls.failedList));
    selectRow(1);
    EXPECT_EQ(MOBILE_HEADING + "\r\n" + mobileMissing, textOf(controls.failedList));
    selectRow(2);
    EXPECT_EQ("", textOf(controls.failedList));
    selectRow(0);
    clearSelection();
    EXPECT_EQ("", textOf(controls.failedList));
    stopTestServer(server);
}

// The https box: after every load ticked when the package holds https or protocol-relative
// addresses that the ticked sources would move, with a line that counts them and follows the
// source boxes; unticked for http addresses alone; disabled while a run is on and until the next
// load. Unticked, the run moves the served http image alone and its final message counts the https
// addresses left as written; ticked, the run takes them (here they fail: nothing listens there).
TEST_F(MainWindowTest, TheHttpsBoxFollowsThePackageAndDecidesTheRunsMode) {
    EXPECT_EQ("同时搬家https图片地址", textOf(controls.moveHttps));
    std::string plain = joinPath(folder, "plain.csv");
    writeTestPackage(plain, {{"宝贝零", descImage("http://127.0.0.1:9/p.jpg"), ""}});
    loadPackage(widePath(plain));
    ASSERT_EQ(2, currentPage);
    EXPECT_FALSE(isChecked(controls.moveHttps)) << "http addresses alone";
    EXPECT_FALSE(IsWindowVisible(controls.secureCount));

    TestServer server;
    ASSERT_TRUE(startTestServer(server));
    const std::string served = serverUrl(server, "/h.jpg");
    serveResource(server, "/h.jpg", jpegBody(3000, 4));
    const std::string secure = "https://127.0.0.1:9/s.jpg";
    const std::string relative = "//127.0.0.1:9/r.jpg";
    std::string path = joinPath(folder, "shop.csv");
    std::string images = joinPath(folder, "images");
    makeDirectory(images.c_str());
    writeTestPackage(
        path, {{"宝贝一", descImage(served) + descImage(secure) + descImage(relative), mobileImage(secure)}});
    loadPackage(widePath(path));
    ASSERT_EQ(2, currentPage);
    EXPECT_TRUE(IsWindowVisible(controls.moveHttps));
    // Two distinct addresses; the mobile one moves with the image-space source only.
    const struct {
        bool imageSpace, thirdParty;
        const char* line;
    } counts[] = {{true, true, "此数据包中有2个https图片地址，勾选后才会搬家。"},
                  {true, false, "此数据包中有1个https图片地址，勾选后才会搬家。"},
                  {false, false, nullptr},
                  {false, true, "此数据包中有2个https图片地址，勾选后才会搬家。"},
                  {true, true, "此数据包中有2个https图片地址，勾选后才会搬家。"}};
    for (const auto& c : counts) {
        if (isChecked(controls.moveImageSpace) != c.imageSpace) click(controls.moveImageSpace);
        if (isChecked(controls.moveThirdParty) != c.thirdParty) click(controls.moveThirdParty);
        EXPECT_EQ(c.line != nullptr, IsWindowVisible(controls.secureCount) != 0)
            << c.imageSpace << c.thirdParty;
        if (c.line) {
            EXPECT_EQ(c.line, textOf(controls.secureCount));
        }
    }

    // A run unticked, then one ticked after a fresh load, which ticks the box again: the failed
    // https addresses are still in the package.
    const struct {
        bool ticked;
        const char* message;
        const char* descFailed;
        const char* mobileFailed;
    } runs[] = {{false,
                 "图片搬家已完成，数据包(CSV文件)已更新。\n\n数据包中还有2个https图片地址未搬家，"
                 "勾选[同时搬家https图片地址]后再次搬家即可。",
                 "", ""},
                {true, "图片搬家失败，没有找到搬家成功的图片。", "2", "1"}};
    for (const auto& r : runs) {
        click(controls.back);
        click(controls.next);
        ASSERT_EQ(2, currentPage);
        EXPECT_TRUE(isChecked(controls.moveHttps));
        EXPECT_TRUE(IsWindowEnabled(controls.moveHttps));
        setChecked(controls.moveHttps, r.ticked);
        setControlText(controls.destFolder, widePath(images).c_str());
        click(controls.next);
        EXPECT_FALSE(IsWindowEnabled(controls.moveHttps));
        ASSERT_TRUE(pumpUntil([] { return IsWindowEnabled(controls.back) != 0; }, 60000));
        EXPECT_FALSE(IsWindowEnabled(controls.moveHttps)) << "until the next load";
        auto shown = takeBoxes();
        ASSERT_EQ(1u, shown.size());
        EXPECT_EQ(r.message, shown[0].text);
        EXPECT_EQ(r.descFailed, cellText(0, 2));
        EXPECT_EQ(r.mobileFailed, cellText(0, 3));
        std::string text = utf16leWithBomToUtf8(readWholeFile(path));
        EXPECT_EQ(std::string::npos, text.find(served))
            << "the http image is saved and its address rewritten";
        EXPECT_NE(std::string::npos, text.find(secure)) << "as written";
        EXPECT_NE(std::string::npos, text.find("\"" + relative)) << "as written";
        EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(images), {})) << "one image saved";
    }
    stopTestServer(server);
}

#ifdef VEDO_TEST_TLS
// A seller's https package moved for real: the start-up reads the test CA from VEDO_CA_FILE and
// sends img.example.test:443 to the local TLS server through VEDO_CONNECT_TO, the box is ticked,
// and every https and protocol-relative address is fetched over TLS and rewritten.
TEST_F(MainWindowTest, ATickedBoxMovesAnHttpsPackageOverTls) {
    const std::string certificates = VEDO_TEST_CERT_DIR;
    TestServer server;
    ASSERT_TRUE(startTlsTestServer(server, certificates + "/server.pem", certificates + "/server.key"));
    serveResource(server, "/a.jpg", jpegBody(40000, 21));
    serveResource(server, "/b.jpg", jpegBody(30000, 22));
    serveResource(server, "/m.jpg", jpegBody(20000, 23));
    std::string route = "img.example.test:443:127.0.0.1:" + std::to_string(server.port);
    _putenv_s("VEDO_CONNECT_TO", route.c_str());
    _putenv_s(CA_FILE_VARIABLE, (certificates + "/ca.pem").c_str());
    auto restore = onScopeExit([] {
        _putenv_s("VEDO_CONNECT_TO", "");
        _putenv_s(CA_FILE_VARIABLE, "");
        char ignored[ERROR_TEXT_SIZE] = {0};
        setExtraCaFile(nullptr, ignored);
        clearConnectOverrides();
        closeAllPooledSockets();
    });
    applyTestEnvironment();
    char caError[ERROR_TEXT_SIZE] = {0};
    ASSERT_EQ(1, applyCaFileFromEnvironment(caError)) << caError;

    const std::string a = "https://img.example.test/a.jpg";
    const std::string b = "//img.example.test/b.jpg";
    const std::string m = "HTTPS://img.example.test/m.jpg";
    std::string path = joinPath(folder, "shop.csv");
    std::string images = joinPath(folder, "images");
    makeDirectory(images.c_str());
    writeTestPackage(path, {{"宝贝一", descImage(a) + descImage(b), mobileImage(m)},
                            {"宝贝二", descImage(b), mobileImage(a)}});
    auto shown = runHttpsMigration(path, images);
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("图片搬家已完成，数据包(CSV文件)已更新。", shown[0].text);
    EXPECT_EQ("", cellText(0, 2)) << "no failed description image";
    EXPECT_EQ("", cellText(0, 3)) << "no failed mobile image";
    EXPECT_LE(connectionCount(server), 3) << "one connection at most per image, kept alive";

    std::string utf8 = utf16leWithBomToUtf8(readWholeFile(path));
    for (const std::string& address : {a, b, m})
        EXPECT_EQ(std::string::npos, utf8.find(address)) << address;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(images)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(body == jpegBody(40000, 21) || body == jpegBody(30000, 22) || body == jpegBody(20000, 23))
            << entry.path().u8string() << " holds " << body.size() << " bytes";
        files++;
    }
    EXPECT_EQ(3, files);
    stopTestServer(server);
}
#endif

TEST_F(MainWindowTest, ClosingDuringARunWritesThePackageBackAndEnds) {
    // The run and the close happen in a child process, which the window's close ends.
    char temp[MAX_PATH] = {0};
    GetTempPathA(sizeof temp, temp);
    std::string work = std::string(temp) + "vedo-ui-close";
    removeTree(work);
    makeDirectory(work.c_str());
    std::string images = joinPath(work, "images");
    makeDirectory(images.c_str());
    std::string path = joinPath(work, "shop.csv");

    auto runAndClose = [&] {
        TestServer server;
        if (!startTestServer(server)) ExitProcess(11);
        std::string firstUrl = serverUrl(server, "/first.jpg");
        std::string secondUrl = serverUrl(server, "/second.jpg");
        // The first image comes at once, the second one is held back: it is under way at the close.
        serveResource(server, "/first.jpg", jpegBody(3000, 2));
        serveResource(server, "/second.jpg", jpegBody(6000, 1));
        holdPath(server, "/second.jpg", true);
        writeTestPackage(path, {{"宝贝一", descImage(firstUrl), ""}, {"宝贝二", descImage(secondUrl), ""}});
        loadPackage(widePath(path));
        setControlText(controls.destFolder, widePath(images).c_str());
        click(controls.next);
        if (!pumpUntil([] { return cellText(1, 1) == "搬家中"; }, 5000)) ExitProcess(12);
        queueBoxAnswer(IDOK);
        click(controls.close);
        if (stopRequested.load() != 1 || IsWindowEnabled(controls.close) || systemCloseEnabled())
            ExitProcess(13);
        // The job cuts the download under way off, writes the package back and ends the process.
        pumpFor(30000);
    };
    EXPECT_EXIT(runAndClose(), ::testing::ExitedWithCode(0), "");

    std::string text = readWholeFile(path);
    ASSERT_GT(text.size(), 2u);
    std::wstring wide(reinterpret_cast<const wchar_t*>(text.data() + 2), (text.size() - 2) / 2);
    std::string utf8 = wideToUtf8(wide);
    EXPECT_EQ(std::string::npos, utf8.find("/first.jpg")) << "the image saved before the stop is rewritten";
    EXPECT_NE(std::string::npos, utf8.find("/second.jpg")) << "the unfinished item keeps its address";
    EXPECT_NE(std::string::npos, utf8.find(wideToUtf8(widePath(images))));
    int files = 0;
    for (auto it = std::filesystem::directory_iterator(images); it != std::filesystem::directory_iterator();
         ++it)
        files++;
    EXPECT_EQ(files, 1) << "the unfinished image is removed";
    removeTree(work);
}

TEST_F(MainWindowTest, ADropTakesTheFirstCsvNameInAnyLetterCase) {
    if (currentPage == 2) click(controls.back);
    setControlText(controls.csvPath, L"");
    std::wstring a = widePath(joinPath(folder, "notes.txt"));
    std::wstring b = widePath(joinPath(folder, utf8ToEngine("店铺.CsV")));
    std::wstring c = widePath(joinPath(folder, "later.csv"));
    dropFiles({a, b, c});
    EXPECT_EQ(wideToUtf8(b), textOf(controls.csvPath));

    // A drop without any .csv name changes nothing.
    dropFiles({a, widePath(joinPath(folder, "csv"))});
    EXPECT_EQ(wideToUtf8(b), textOf(controls.csvPath));
    EXPECT_TRUE(takeBoxes().empty());
}

TEST_F(MainWindowTest, TheFailedAddressBoxHoldsEveryAddress) {
    Item item;
    std::memset(&item, 0, sizeof item);
    item.status = ITEM_STATUS_FINISHED;
    item.descFailures = arrayListCreateDefault();
    item.mobileFailures = arrayListCreateDefault();
    std::string expected = DESC_HEADING;
    for (int i = 0; i < 400; i++) {
        std::string url =
            "http://img.example.test/very/long/path/to/an/image/number/" + std::to_string(i) + ".jpg";
        arrayListAdd(item.descFailures, duplicateString(url.c_str()));
        expected += "\r\n" + url;
    }
    // A list that exists but is empty still shows its heading.
    expected += "\r\n\r\n" + MOBILE_HEADING;
    std::wstring text = failedAddressText(&item);
    EXPECT_GT(text.size(), 8192u);
    setControlText(controls.failedList, text.c_str());
    EXPECT_EQ(expected, textOf(controls.failedList));

    item.status = 0;
    EXPECT_EQ(L"", failedAddressText(&item)) << "an unfinished item shows nothing";
    arrayListDestroy(item.descFailures, 1);
    arrayListDestroy(item.mobileFailures, 1);
}

TEST_F(MainWindowTest, TheLinksOpenTheirPages) {
    std::remove(browserLogPath().c_str());
    POINT inside = {5, 5};
    PostMessageW(controls.helpLink, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(inside.x, inside.y));
    PostMessageW(controls.websiteLink, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(inside.x, inside.y));
    pumpFor(100);
    EXPECT_EQ("http://127.0.0.1:9/site/help.html\nhttp://127.0.0.1:9/site/\n", readBrowserLog());
}

} // namespace

namespace {

TEST_F(MainWindowTest, TheProgressBarCountsPackagesOfMoreThan65535Items) {
    const int total = 70000;
    std::string csv =
        "version "
        "1.00\r\ntitle\tdescription\twireless_desc\tcid\r\n宝贝名称\t宝贝描述\t无线详情\t宝贝类目\r\n";
    csv.reserve(csv.size() + static_cast<size_t>(total) * 24);
    for (int i = 0; i < total; i++)
        csv += "\"t" + std::to_string(i) + "\"\t\"\"\t\"\"\t0\r\n";
    std::string path = joinPath(folder, "big.csv");
    writeWholeFile(path, utf8ToUtf16leWithBom(csv));

    loadPackage(widePath(path));
    ASSERT_EQ(2, currentPage);
    EXPECT_EQ(total, rowCount());
    EXPECT_EQ("搬家进度(宝贝数:70000)", textOf(controls.progressText));
    EXPECT_EQ(total, SendMessageW(controls.progress, PBM_GETRANGE, FALSE, 0));
    // The job's position past 65,535 reaches the bar unclipped.
    windowSetProgressPos(66000);
    EXPECT_EQ(66000, SendMessageW(controls.progress, PBM_GETPOS, 0, 0));
    windowSetProgressPos(total);
    EXPECT_EQ(total, SendMessageW(controls.progress, PBM_GETPOS, 0, 0));
    click(controls.back);
}

} // namespace
