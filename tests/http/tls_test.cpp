// Tests of downloading images over https from the scripted TLS server, whose certificates come
// from the test CA made for the run.
#include "http/connectiontest.h"
#include "http/download.h"
#include "http/fetch.h"

#include "httpfixture.h"
#include "platform/files.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifdef VEDO_TEST_TLS

namespace {

std::string certificate(const std::string& name) {
    return std::string(VEDO_TEST_CERT_DIR) + "/" + name;
}

void setVariable(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

struct TlsTest : NetworkTest {
    TestServer tls;
    char errorText[ERROR_TEXT_SIZE];
    std::string dest;
    int secure = 1; // the run's secure mode

    void SetUp() override {
        NetworkTest::SetUp();
        std::memset(errorText, 0, sizeof errorText);
        ASSERT_EQ(setExtraCaFile(certificate("ca.pem").c_str(), errorText), 1) << errorText;
        dest = file("image.jpg");
    }

    void TearDown() override {
        closeAllPooledSockets();
        stopTestServer(tls);
        setExtraCaFile(nullptr, errorText);
        NetworkTest::TearDown();
    }

    // Starts a TLS server with the named certificate; img.example.test:443 leads to it.
    void startTls(TestServer& target, const std::string& name, int maxVersion = TEST_TLS_DEFAULT_MAX) {
        target.tlsMaxVersion = maxVersion;
        ASSERT_EQ(startTlsTestServer(target, certificate(name + ".pem"), certificate(name + ".key")), 1);
        std::string override = "img.example.test:443:127.0.0.1:" + std::to_string(target.port);
        ASSERT_EQ(addConnectOverride(override.c_str()), 1);
    }

    int download(const std::string& address, int keepAlive = 1) {
        std::memset(errorText, 0, sizeof errorText);
        return downloadImage(address.c_str(), secure, dest.c_str(), errorText, keepAlive, 0);
    }
    std::string error() const { return engineToUtf8(errorText); }
    bool destExists() const { return fileExists(dest.c_str()) == 1; }
};

struct TlsTimeOutTest : ShortTimeOuts<TlsTest> {};

TEST_F(TlsTest, PackageOfHttpsAndRelativeAddressesOverOneConnectionPerVersion) {
    for (int version : {TEST_TLS_1_2, TEST_TLS_1_3}) {
#ifdef _WIN32
        if (version == TEST_TLS_1_3) continue;
#endif
        SCOPED_TRACE(version);
        closeAllPooledSockets();
        clearConnectOverrides();
        TestServer versionServer;
        versionServer.ticketAfterReply = true; // read by the server's threads, set before they start
        startTls(versionServer, "server", version);
        std::vector<std::string> addresses;
        std::vector<std::string> bodies;
        for (int i = 0; i < 24; i++) {
            std::string path = "/imgextra/i" + std::to_string(i) + ".jpg";
            bodies.push_back(jpegBody(1000 + 3001 * static_cast<size_t>(i), 300 + static_cast<unsigned>(i)));
            serveResource(versionServer, path, bodies.back());
            const char* schemes[] = {"https://img.example.test", "//img.example.test",
                                     "HTTPS://img.example.test", "https://img.example.test:443"};
            addresses.push_back(schemes[i % 4] + path);
        }
        for (size_t i = 0; i < addresses.size(); i++) {
            SCOPED_TRACE(addresses[i]);
            ASSERT_EQ(download(addresses[i]), DOWNLOAD_STORED) << error();
            EXPECT_EQ(readWholeFile(dest), bodies[i]);
        }
        // One handshake for all of them: TLS 1.3's session tickets, which may arrive after an
        // answer, never make the pooled connection look out of step.
        EXPECT_EQ(connectionCount(versionServer), 1);
        std::vector<LoggedRequest> requests = receivedRequests(versionServer);
        ASSERT_EQ(requests.size(), addresses.size());
        for (const LoggedRequest& r : requests) {
            EXPECT_NE(r.text.find(" HTTP/1.1\r\n"), std::string::npos);
            EXPECT_NE(r.text.find("\r\nHost: img.example.test\r\n"), std::string::npos) << r.text;
        }
        EXPECT_EQ(pooledConnectionCount("img.example.test", 443, 1), 1);
        EXPECT_EQ(pooledConnectionCount("img.example.test", 443, 0), 0);
        closeAllPooledSockets();
        stopTestServer(versionServer);
    }

    // An address of the server's own IP literal is checked against the certificate's address.
    startTls(tls, "server");
    serveResource(tls, "/ip.jpg", jpegBody(5000, 9));
    ASSERT_EQ(download(serverHttpsUrl(tls, "/ip.jpg")), DOWNLOAD_STORED) << error();
    EXPECT_EQ(readWholeFile(dest), jpegBody(5000, 9));
    // In close mode the answer comes over a fresh TLS connection of its own.
    ASSERT_EQ(download("https://img.example.test/ip.jpg", 0), DOWNLOAD_STORED) << error();
    EXPECT_EQ(connectionCount(tls), 2);
}

TEST_F(TlsTest, ChunkedAndConnectionDelimitedBodies) {
    startTls(tls, "server");
    std::string body = jpegBody(70000, 11);
    serveResource(tls, "/c.jpg", body);
    setFraming(tls, BodyFraming::CHUNKED);
    ASSERT_EQ(download("https://img.example.test/c.jpg"), DOWNLOAD_STORED) << error();
    EXPECT_EQ(readWholeFile(dest), body);
    ASSERT_EQ(download("https://img.example.test/c.jpg"), DOWNLOAD_STORED) << error();
    EXPECT_EQ(connectionCount(tls), 1);

    // Ended by the connection's end with close_notify.
    setFraming(tls, BodyFraming::CONNECTION_CLOSE);
    ASSERT_EQ(download("https://img.example.test/c.jpg"), DOWNLOAD_STORED) << error();
    EXPECT_EQ(readWholeFile(dest), body);
}

// A body that only the connection's end delimits must end with close_notify: a bare TCP close at a
// record's end may have cut it short. A body whose framing says where it ends needs none.
TEST_F(TlsTest, ConnectionDelimitedBodyNeedsCloseNotify) {
    startTls(tls, "server");
    std::string body = jpegBody(70000, 16);
    const std::string open = rawReply("HTTP/1.1 200 OK", "Connection: close\r\n", body);
    const std::string chunked =
        rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", chunkedBody(body, 5000));
    const struct {
        std::string reply;
        bool notify;
        bool stored;
    } cases[] = {
        {open, false, false}, {open, true, true}, {okReply(body), false, true}, {chunked, false, true}};
    for (const auto& c : cases) {
        TestReply reply;
        reply.bytes = c.reply;
        reply.closeWithoutNotify = !c.notify;
        reply.closeAfterReply = c.notify;
        addReply(tls, reply);
        EXPECT_EQ(download("https://img.example.test/n.jpg", 0),
                  c.stored ? DOWNLOAD_STORED : DOWNLOAD_FAILED);
        EXPECT_EQ(destExists(), c.stored);
        EXPECT_EQ(error().find("close_notify") != std::string::npos, !c.stored) << error();
    }
}

TEST_F(TlsTest, ConnectionCutInsideARecordIsACleanFailure) {
    startTls(tls, "server");
    std::string body = jpegBody(9000, 12);
    // A body with a length and a body that only the connection's end delimits, each cut inside
    // the one record that carries it, in keep-alive mode and in the close-mode retry.
    const std::string replies[] = {okReply(body), rawReply("HTTP/1.1 200 OK", "Connection: close\r\n", body)};
    for (const std::string& bytes : replies) {
        TestReply cut;
        cut.bytes = bytes;
        cut.closeAfterEncryptedBytes = 4000;
        addReply(tls, cut);
        addReply(tls, cut);
        EXPECT_EQ(download("https://img.example.test/cut.jpg"), DOWNLOAD_FAILED);
        EXPECT_NE(error(), "");
        EXPECT_FALSE(destExists());
    }
    EXPECT_EQ(receivedRequests(tls).size(), 4u);
}

TEST_F(TlsTest, RedirectFromHttpToHttps) {
    startTls(tls, "server");
    std::string body = jpegBody(3000, 13);
    serveResource(tls, "/to.jpg", body);
    serveResource(server, "/to.jpg", body);
    std::string location = "Location: https://img.example.test/to.jpg\r\nContent-Length: 0\r\n";
    addReply(server, rawReply("HTTP/1.1 302 Found", location));
    ASSERT_EQ(download(url("/from.jpg")), DOWNLOAD_STORED) << error();
    EXPECT_EQ(readWholeFile(dest), body);
    ASSERT_EQ(receivedRequests(tls).size(), 1u);
    EXPECT_NE(receivedRequests(tls)[0].text.find("\r\nHost: img.example.test\r\n"), std::string::npos);

    // Without the secure mode the https address is fetched as plain http on port 443.
    secure = 0;
    clearConnectOverrides();
    ASSERT_EQ(addConnectOverride(("img.example.test:443:127.0.0.1:" + std::to_string(server.port)).c_str()),
              1);
    addReply(server, rawReply("HTTP/1.1 302 Found", location));
    ASSERT_EQ(download(url("/from.jpg")), DOWNLOAD_STORED) << error();
    std::vector<LoggedRequest> plain = receivedRequests(server);
    ASSERT_EQ(plain.size(), 3u);
    EXPECT_EQ(plain[2].text.rfind("GET /to.jpg HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(plain[2].text.find("\r\nHost: img.example.test:443\r\n"), std::string::npos);
    EXPECT_EQ(receivedRequests(tls).size(), 1u);
    // Nor is a protocol-relative address an address at all.
    EXPECT_EQ(download("//img.example.test/to.jpg"), DOWNLOAD_FAILED);
    EXPECT_EQ(error(), "无法parse下载图片地址");
}

// Redirect chains: up to five hops are followed, from http to https too; a sixth hop, a loop and
// a step down from https to http fail the image.
TEST_F(TlsTest, RedirectChains) {
    startTls(tls, "server");
    std::string body = jpegBody(2000, 17);
    serveResource(server, "/img.jpg", body);
    serveResource(tls, "/img.jpg", body);
    // /hN leads on to /h(N+1), /h5 to the image: three hops from /h3, five from /h1, six from /h0.
    for (int i = 0; i < 6; i++)
        serveRedirect(server, "/h" + std::to_string(i),
                      url(i == 5 ? "/img.jpg" : "/h" + std::to_string(i + 1)));
    serveRedirect(server, "/loop", url("/loop2"));
    serveRedirect(server, "/loop2", url("/loop"));
    serveRedirect(server, "/up", "https://img.example.test/img.jpg");
    serveRedirect(tls, "/down", url("/never.jpg"));
    const struct {
        std::string address;
        const char* text; // the beginning of the failure text; empty: stored
    } cases[] = {{url("/h3"), ""},
                 {url("/h1"), ""},
                 {url("/h0"), "图片地址跳转超过5次，不再跟随："},
                 {url("/loop"), "图片地址的跳转形成了循环，不再跟随："},
                 {url("/up"), ""},
                 {"https://img.example.test/down", "拒绝从https地址跳转到http地址："}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(download(c.address), *c.text ? DOWNLOAD_FAILED : DOWNLOAD_STORED) << error();
        EXPECT_EQ(error().rfind(c.text, 0), 0u) << error();
        EXPECT_EQ(destExists(), !*c.text);
    }
    // A refused redirect is not asked again in close mode: /loop and /loop2 once each.
    int loopRequests = 0;
    for (const LoggedRequest& r : receivedRequests(server)) {
        EXPECT_EQ(r.text.find("/never.jpg"), std::string::npos);
        if (r.text.rfind("GET /loop", 0) == 0) loopRequests++;
    }
    EXPECT_EQ(loopRequests, 2);
}

TEST_F(TlsTest, CertificatesThatFailAreFailedImagesWithTheirReason) {
    struct Case {
        const char* certificate;
        const char* host;
        const char* text;
    };
    const Case cases[] = {
        {"othername", "img.example.test", "https证书验证失败：证书不属于此域名（"},
        {"unknownca", "img.example.test", "https证书验证失败：证书的颁发者不受信任（"},
        {"expired", "img.example.test", "https证书验证失败：证书已过期或尚未生效（"},
        // The name in the subject alone (CN=localhost) is no name of the certificate.
        {"nosan", "localhost", "https证书验证失败：证书不属于此域名（"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.certificate);
        closeAllPooledSockets();
        clearConnectOverrides();
        TestServer bad;
        startTls(bad, c.certificate);
        ASSERT_EQ(addConnectOverride(("localhost:443:127.0.0.1:" + std::to_string(bad.port)).c_str()), 1);
        serveResource(bad, "/a.jpg", jpegBody(500, 14));
        writeWholeFile(dest, "taken");
        EXPECT_EQ(download(std::string("https://") + c.host + "/a.jpg"), DOWNLOAD_FAILED);
        EXPECT_EQ(error().rfind(c.text, 0), 0u) << error();
        EXPECT_FALSE(destExists());
        EXPECT_EQ(receivedRequests(bad).size(), 0u);
        // One handshake: the close-mode retry would meet the same certificate.
        EXPECT_EQ(connectionCount(bad), 1);
        stopTestServer(bad);
    }
    // Each failed check counted towards the server's failure limit.
    EXPECT_EQ(connectFailureCount("img.example.test", 443), 3);
    resetConnectFailures();

    // Without the extra CA file the test CA is unknown; a file that is no certificate, or none at
    // all, is refused and leaves the trust as it was.
    clearConnectOverrides();
    startTls(tls, "server");
    serveResource(tls, "/a.jpg", jpegBody(500, 15));
    ASSERT_EQ(setExtraCaFile(nullptr, errorText), 1);
    EXPECT_EQ(download("https://img.example.test/a.jpg"), DOWNLOAD_FAILED);
    EXPECT_EQ(error().rfind("https证书验证失败：证书的颁发者不受信任（", 0), 0u) << error();
    std::string notCertificate = file("not.pem");
    writeWholeFile(notCertificate, "-----BEGIN NOTHING-----\n");
    std::memset(errorText, 0, sizeof errorText);
    EXPECT_EQ(setExtraCaFile(notCertificate.c_str(), errorText), 0);
    EXPECT_EQ(error().rfind("无法使用CA证书文件：", 0), 0u) << error();
    EXPECT_EQ(setExtraCaFile(file("missing.pem").c_str(), errorText), 0);
    EXPECT_EQ(download("https://img.example.test/a.jpg"), DOWNLOAD_FAILED);

    // The environment variable names the file for both programs (in a run of its own).
    resetConnectFailures();
    setVariable(CA_FILE_VARIABLE, certificate("ca.pem"));
    EXPECT_EQ(applyCaFileFromEnvironment(errorText), 1);
    EXPECT_EQ(download("https://img.example.test/a.jpg"), DOWNLOAD_STORED) << error();
    setVariable(CA_FILE_VARIABLE, notCertificate);
    EXPECT_EQ(applyCaFileFromEnvironment(errorText), 0);
    setVariable(CA_FILE_VARIABLE, "");
    EXPECT_EQ(applyCaFileFromEnvironment(errorText), 1);
}

TEST_F(TlsTimeOutTest, HandshakeThatStallsIsBounded) {
    startTls(tls, "server");
    setStallTlsHandshake(tls, true);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(download("https://img.example.test/a.jpg"), DOWNLOAD_FAILED);
    double elapsed = secondsSince(start);
    EXPECT_EQ(error().rfind("https握手超时", 0), 0u) << error();
    EXPECT_FALSE(destExists());
    // The keep-alive attempt and the close-mode retry, each within the I/O time-out.
    EXPECT_EQ(connectionCount(tls), 2);
    EXPECT_GE(elapsed, 2 * SHORT_IO_TIMEOUT_MS / 1000.0 * 0.9);
    EXPECT_LT(elapsed, 5.0);
}

// The update check's text fetch speaks TLS to an https address whatever the secure mode, and
// takes the text only from a server whose certificate passed its check.
TEST_F(TlsTimeOutTest, TextFetchOverHttpsNeedsAVerifiedServer) {
    startTls(tls, "server");
    TestServer unknown;
    ASSERT_EQ(startTlsTestServer(unknown, certificate("unknownca.pem"), certificate("unknownca.key")), 1);
    for (TestServer* s : {&tls, &unknown, &server}) {
        serveResource(*s, "/u", "false^notice");
        FetchResult* result = fetchText(serverHttpsUrl(*s, "/u").c_str());
        EXPECT_EQ(result->ok ? std::string(result->text) : "-", s == &tls ? "false^notice" : "-");
        freeFetchResult(result);
    }
    EXPECT_EQ(receivedRequests(unknown).size() + receivedRequests(server).size(), 0u);
}

TEST_F(TlsTimeOutTest, ServerThatStallsEveryHandshakeCostsAtMostFiveTimeOuts) {
    startTls(tls, "server");
    setStallTlsHandshake(tls, true);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 12; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(download("https://img.example.test/s" + std::to_string(i) + ".jpg"), DOWNLOAD_FAILED);
    }
    double elapsed = secondsSince(start);
    EXPECT_EQ(error(), "img.example.test:443 - 连接失败已连续发生5次+");
    EXPECT_EQ(connectionCount(tls), MAX_CONNECT_FAILURES);
    EXPECT_LT(elapsed, MAX_CONNECT_FAILURES * SHORT_IO_TIMEOUT_MS / 1000.0 + 3.0);
    // A completed handshake clears the count.
    resetConnectFailures();
    download("https://img.example.test/s.jpg");
    EXPECT_EQ(connectFailureCount("img.example.test", 443), 2);
    setStallTlsHandshake(tls, false);
    serveResource(tls, "/ok.jpg", jpegBody(800, 16));
    EXPECT_EQ(download("https://img.example.test/ok.jpg"), DOWNLOAD_STORED) << error();
    EXPECT_EQ(connectFailureCount("img.example.test", 443), 0);
}

TEST_F(TlsTest, StopRequestEndsAStalledHandshakeWithoutARetry) {
    startTls(tls, "server");
    setStallTlsHandshake(tls, true);
    std::atomic<int> stop{0};
    setTransferStopFlag(&stop);
    std::thread stopper([&stop]() {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop.store(1);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(download("https://img.example.test/a.jpg"), DOWNLOAD_FAILED);
    double elapsed = secondsSince(start);
    stopper.join();
    EXPECT_EQ(error(), "连接已中止：收到停止请求。");
    EXPECT_FALSE(destExists());
    EXPECT_EQ(connectionCount(tls), 1);
    // Far within the I/O time-out of the fixture.
    EXPECT_LT(elapsed, TEST_IO_TIMEOUT_MS / 1000.0 / 2);
}

} // namespace

#endif
