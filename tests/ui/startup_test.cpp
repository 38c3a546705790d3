// Start-up and the update check: the temporary-folder refusal, the desktop shortcut question
// with its renamed buttons and marker file, and the update service's replies.
#include "uidriver.h"

#include "core/appdir.h"
#include "http/connectiontest.h"
#include "http/download.h"
#include "migration/jobwindow.h"
#include "support/testfiles.h"
#include "tools/support/testserver.h"
#include "ui/mainwindow.h"
#include "ui/startup.h"
#include "ui/update.h"
#include "ui/wintext.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

TEST(StartupTest, OnlyAFolderWithBothDollarAndTempIsATemporaryExtraction) {
    EXPECT_TRUE(isTemporaryExtractionFolder("C:\\Users\\a\\AppData\\Local\\Temp\\Rar$EXa0.123\\vedo"));
    EXPECT_FALSE(isTemporaryExtractionFolder("C:\\Users\\a\\AppData\\Local\\Temp\\vedo"));
    EXPECT_FALSE(isTemporaryExtractionFolder("C:\\Program Files\\vedo$"));
    EXPECT_FALSE(isTemporaryExtractionFolder("C:\\Users\\a\\temp\\Rar$EX\\vedo"))
        << "the test is case-sensitive";
    EXPECT_FALSE(isTemporaryExtractionFolder("C:\\Temp$"));
}

class ShortcutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureMainWindow();
        takeBoxes();
        std::memcpy(savedAppDir, appDir, sizeof appDir);
        desktop = makeTempDir("desktop");
        program = makeTempDir("program");
        std::snprintf(appDir, sizeof appDir, "%s", program.c_str());
        link = joinPath(desktop, "vedo.lnk");
        marker = joinPath(program, "no_shortcut.txt");
    }
    void TearDown() override {
        std::memcpy(appDir, savedAppDir, sizeof appDir);
        removeTree(desktop);
        removeTree(program);
        takeBoxes();
    }
    std::vector<RecordedBox> offer() {
        offerDesktopShortcut(controls.window, desktop.c_str());
        return takeBoxes();
    }
    char savedAppDir[sizeof appDir];
    std::string desktop, program, link, marker;
};

TEST_F(ShortcutTest, TheQuestionHasRenamedButtonsAndNeverComesBackAfterDontAskAgain) {
    queueBoxAnswer(IDCANCEL); // "否(&N)": nothing now, ask again next time
    auto shown = offer();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("是否需要在桌面上创建一个软件快捷方式？", shown[0].text);
    EXPECT_EQ("询问", shown[0].caption);
    EXPECT_EQ(ICON_QUESTION, shown[0].icon);
    EXPECT_EQ("不用再提示", shown[0].buttons[IDNO]);
    EXPECT_EQ("否(&N)", shown[0].buttons[IDCANCEL]);
    EXPECT_FALSE(fileExists(marker.c_str()));
    EXPECT_FALSE(fileExists(link.c_str()));

    queueBoxAnswer(IDNO); // "不用再提示"
    ASSERT_EQ(1u, offer().size());
    EXPECT_TRUE(fileExists(marker.c_str()));
    EXPECT_EQ("", readWholeFile(marker));
    EXPECT_TRUE(offer().empty()) << "the marker file keeps the question away";
}

TEST_F(ShortcutTest, YesWritesTheShortcutAndAnExistingShortcutAsksNothing) {
    queueBoxAnswer(IDYES);
    auto shown = offer();
    ASSERT_EQ(2u, shown.size());
    EXPECT_EQ("在桌面上成功创建了一个快捷方式", shown[1].text);
    EXPECT_EQ("提示", shown[1].caption);
    EXPECT_EQ(ICON_INFORMATION, shown[1].icon);
    EXPECT_TRUE(fileExists(link.c_str()));
    EXPECT_TRUE(offer().empty());

    // The shortcut starts this program in its own folder.
    HRESULT com = CoInitialize(nullptr);
    IShellLinkW* shellLink = nullptr;
    ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                           reinterpret_cast<void**>(&shellLink))));
    IPersistFile* file = nullptr;
    ASSERT_TRUE(SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))));
    EXPECT_TRUE(SUCCEEDED(file->Load(widePath(link).c_str(), STGM_READ)));
    wchar_t target[MAX_PATH] = {0}, folder[MAX_PATH] = {0}, self[MAX_PATH] = {0};
    shellLink->GetPath(target, MAX_PATH, nullptr, 0);
    shellLink->GetWorkingDirectory(folder, MAX_PATH);
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_EQ(0, _wcsicmp(self, target)) << wideToUtf8(target);
    EXPECT_EQ(widePath(program), folder);
    file->Release();
    shellLink->Release();
    if (SUCCEEDED(com)) CoUninitialize();
}

std::string testCertificate(const std::string& name) {
    return std::string(VEDO_TEST_CERT_DIR) + "/" + name;
}

// A local update service over https, whose certificate the test CA signed: the product web site
// points at it for the duration of a test.
class UpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureMainWindow();
        takeBoxes();
        char errorText[ERROR_TEXT_SIZE] = {0};
        ASSERT_EQ(setExtraCaFile(testCertificate("ca.pem").c_str(), errorText), 1) << errorText;
        ASSERT_TRUE(startTlsTestServer(server, testCertificate("server.pem"), testCertificate("server.key")));
        site = serverHttpsUrl(server, "/site/");
        _putenv_s("VEDO_PRODUCT_SITE", site.c_str());
        setControlText(controls.notice, L"");
        std::remove(browserLogPath().c_str());
    }
    void TearDown() override {
        _putenv_s("VEDO_PRODUCT_SITE", "http://127.0.0.1:9/site/");
        setControlText(controls.notice, L"");
        stopTestServer(server);
        char errorText[ERROR_TEXT_SIZE] = {0};
        setExtraCaFile(nullptr, errorText);
        takeBoxes();
    }
    void reply(const std::string& body) { serveResource(server, "/site/checkUpdate.asp?v=6.9", body); }
    // Runs the check on a thread of its own, as start-up does, while this thread runs the window.
    std::vector<RecordedBox> check() {
        std::atomic<bool> done{false};
        std::thread startup([&] {
            checkForUpdate();
            done = true;
        });
        bool finished = pumpUntil([&] { return done.load(); }, 20000);
        startup.join();
        EXPECT_TRUE(finished);
        return takeBoxes();
    }
    TestServer server;
    std::string site;
};

TEST_F(UpdateTest, ANewVersionShowsTheNoticeAndOffersTheSite) {
    reply("true^新版本 7.0 已发布\n请升级");
    queueBoxAnswer(IDYES);
    auto shown = check();
    EXPECT_EQ("新版本 7.0 已发布\r\n请升级", textOf(controls.notice));
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("检查到新的版本，是否需要进入官网下载新版本？", shown[0].text);
    EXPECT_EQ("提示", shown[0].caption);
    EXPECT_EQ(ICON_QUESTION, shown[0].icon);
    EXPECT_EQ(site + "\n", readWholeFile(browserLogPath()));
    auto requests = receivedRequests(server);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(0u, requests[0].text.find("GET /site/checkUpdate.asp?v=6.9 HTTP/1."));
}

TEST_F(UpdateTest, FalseShowsOnlyTheNotice) {
    reply("false^店铺公告^ignored");
    EXPECT_TRUE(check().empty());
    EXPECT_EQ("店铺公告", textOf(controls.notice));

    reply("false");
    setControlText(controls.notice, L"");
    EXPECT_TRUE(check().empty());
    EXPECT_EQ("", textOf(controls.notice));
}

TEST_F(UpdateTest, AnUnrecognisedReplyIsShownCutAt386Bytes) {
    std::string body = "TRUE^" + std::string(995, 'x');
    reply(body);
    auto shown = check();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("检查软件新版本时返回无法识别的数据：\n\n" + body.substr(0, 386), shown[0].text);
    EXPECT_EQ(ICON_WARNING, shown[0].icon);

    reply("");
    shown = check();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("检查软件新版本时返回无法识别的数据：\n\n", shown[0].text);
}

TEST_F(UpdateTest, ALongNoticeIsCutAtACharacterBoundary) {
    std::string notice;
    while (notice.size() < 9000)
        notice += "公告";
    reply("false^" + notice);
    EXPECT_TRUE(check().empty());
    std::string shown = textOf(controls.notice);
    EXPECT_LE(shown.size(), 8191u);
    EXPECT_EQ(0u, notice.find(shown)) << "no broken character at the end";
    EXPECT_GT(shown.size(), 8180u);
}

// Only a verified https reply is shown: no answer, a certificate that fails its check, a plain
// http answer at the https address and an http site all leave the window as it was.
TEST_F(UpdateTest, AnUnverifiedOrUnreachableSiteShowsNothing) {
    TestServer unknown, plain;
    ASSERT_TRUE(
        startTlsTestServer(unknown, testCertificate("unknownca.pem"), testCertificate("unknownca.key")));
    ASSERT_TRUE(startTestServer(plain));
    serveResource(unknown, "/site/checkUpdate.asp?v=6.9", "false^公告");
    serveResource(plain, "/site/checkUpdate.asp?v=6.9", "false^公告");
    // The plain server never completes a handshake: the wait for it is shortened.
    setConnectionTimeouts(2000, 2000);
    for (const std::string& address :
         {std::string("https://127.0.0.1:1/site/"), serverHttpsUrl(unknown, "/site/"),
          serverHttpsUrl(plain, "/site/"), serverUrl(plain, "/site/")}) {
        _putenv_s("VEDO_PRODUCT_SITE", address.c_str());
        EXPECT_TRUE(check().empty()) << address;
        EXPECT_EQ("", textOf(controls.notice)) << address;
    }
    setConnectionTimeouts(0, 0);
    EXPECT_EQ(receivedRequests(unknown).size() + receivedRequests(plain).size(), 0u);
}

} // namespace
