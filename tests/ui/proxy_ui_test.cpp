// The wizard behind the Internet Options proxy: a run and the update check go through the proxy
// that the user's own settings name, and the bypass list's <local> hosts go direct.
#include "uidriver.h"

#include "core/scope.h"
#include "http/connection.h"
#include "migration/job.h"
#include "support/internetoptions.h"
#include "support/testfiles.h"
#include "tools/support/testproxy.h"
#include "tools/support/testserver.h"
#include "ui/mainwindow.h"
#include "ui/update.h"
#include "ui/wintext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

TEST(WizardProxy, ARunAndTheUpdateCheckGoThroughTheInternetOptionsProxy) {
    ensureMainWindow();
    takeBoxes();
    const std::string certificates = VEDO_TEST_CERT_DIR;
    std::string folder = makeTempDir("ui-proxy");
    TestServer plain, tls;
    TestProxy proxy;
    ASSERT_EQ(startTestServer(plain), 1);
    ASSERT_EQ(startTlsTestServer(tls, certificates + "/server.pem", certificates + "/server.key"), 1);
    ASSERT_EQ(startTestProxy(proxy), 1);
    mapProxyHost(proxy, "img.example.test:443", "127.0.0.1:" + std::to_string(tls.port));
    serveResource(plain, "/a.jpg", jpegBody(20000, 31));
    serveResource(plain, "/c.jpg", jpegBody(20000, 33));
    serveResource(tls, "/b.jpg", jpegBody(20000, 32));
    std::string address = "127.0.0.1:" + std::to_string(proxy.port);
    InternetOptionsProxy options(1, std::wstring(address.begin(), address.end()), L"<local>");
    char errorText[ERROR_TEXT_SIZE] = {0};
    ASSERT_EQ(setExtraCaFile((certificates + "/ca.pem").c_str(), errorText), 1) << errorText;
    auto restore = onScopeExit([&] {
        setExtraCaFile(nullptr, errorText);
        closeAllPooledSockets();
        _putenv_s("VEDO_PRODUCT_SITE", "http://127.0.0.1:9/site/");
        stopTestProxy(proxy);
        stopTestServer(tls);
        stopTestServer(plain);
        removeTree(folder);
    });

    const std::string a = "http://127.0.0.1:" + std::to_string(plain.port) + "/a.jpg";
    const std::string b = "https://img.example.test/b.jpg";
    const std::string c = "http://localhost:" + std::to_string(plain.port) + "/c.jpg";
    std::string path = joinPath(folder, "shop.csv");
    std::string images = joinPath(folder, "images");
    std::filesystem::create_directories(images);
    writeTestPackage(path, {{"宝贝一", "<p><img src=\"" + a + "\" /><img src=\"" + b + "\" /></p>",
                             "<wapDesc><img>" + c + "</img></wapDesc>"}});
    auto shown = runHttpsMigration(path, images);
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("图片搬家已完成，数据包(CSV文件)已更新。", shown[0].text);
    EXPECT_EQ(3, std::distance(std::filesystem::directory_iterator(images), {}));
    std::vector<std::string> lines = proxyRequestLines(proxy);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines,
              (std::vector<std::string>{"CONNECT img.example.test:443 HTTP/1.1", "GET " + a + " HTTP/1.1"}))
        << "localhost is a <local> host and goes direct";

    // The update check asks the product site through the same proxy.
    serveResource(tls, "/site/checkUpdate.asp?v=6.9", "false^");
    std::string site = "https://127.0.0.1:" + std::to_string(tls.port) + "/site/";
    _putenv_s("VEDO_PRODUCT_SITE", site.c_str());
    std::atomic<bool> done{false};
    std::thread check([&] {
        checkForUpdate();
        done = true;
    });
    EXPECT_TRUE(pumpUntil([&] { return done.load(); }, 20000));
    check.join();
    takeBoxes();
    lines = proxyRequestLines(proxy);
    EXPECT_EQ(lines.back(), "CONNECT 127.0.0.1:" + std::to_string(tls.port) + " HTTP/1.1");
}
