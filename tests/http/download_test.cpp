// Tests of downloading an image from the scripted server: keep-alive, body framings, limits, failures.
#include "http/connectiontest.h"
#include "http/download.h"

#include "httpfixture.h"
#include "platform/files.h"

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

struct DownloadTest : NetworkTest {
    char errorText[ERROR_TEXT_SIZE];
    std::string dest;

    void SetUp() override {
        NetworkTest::SetUp();
        std::memset(errorText, 0, sizeof errorText);
        dest = file("image.jpg");
    }

    int download(const std::string& address, int keepAlive = 1) {
        std::memset(errorText, 0, sizeof errorText);
        return downloadImage(address.c_str(), 0, dest.c_str(), errorText, keepAlive, 0);
    }

    // Failure texts are engine text; the tests compare them in UTF-8.
    std::string error() const { return engineToUtf8(errorText); }
    bool destExists() const { return fileExists(dest.c_str()) == 1; }
    std::string requestLine(size_t i) {
        std::vector<LoggedRequest> requests = receivedRequests(server);
        if (i >= requests.size()) return std::string();
        return requests[i].text.substr(0, requests[i].text.find("\r\n"));
    }
    size_t requestCount() { return receivedRequests(server).size(); }
    // The pooled connection to the test server, NO_SOCKET when none is pooled.
    SocketHandle pooledSocket() {
        std::string key = "http://127.0.0.1:" + std::to_string(server.port);
        ArrayList* idle = static_cast<ArrayList*>(hashMapGet(socketPool, key.c_str()));
        if (!idle || idle->count == 0) return NO_SOCKET;
        return static_cast<Connection*>(idle->items[idle->count - 1])->socket;
    }
    // The server logs a request on its own thread; a client that does not wait for the answer may
    // be faster.
    size_t requestCountAfterWaiting(size_t expected) {
        auto start = std::chrono::steady_clock::now();
        while (requestCount() < expected && secondsSince(start) < 2.0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return requestCount();
    }
};

struct DownloadTimeOutTest : ShortTimeOuts<DownloadTest> {};

TEST_F(DownloadTest, ConsecutiveImagesShareOneKeepAliveConnection) {
    std::string bodies[3] = {jpegBody(30000, 1), jpegBody(1, 2) + jpegBody(45000, 3), jpegBody(8000, 4)};
    bodies[1][0] = static_cast<char>(0x89); // PNG
    bodies[1][1] = 'P';
    for (int i = 0; i < 3; i++)
        serveResource(server, "/img" + std::to_string(i) + ".jpg", bodies[i]);
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(download(url("/img" + std::to_string(i) + ".jpg")), DOWNLOAD_STORED) << error();
        EXPECT_EQ(readWholeFile(dest), bodies[i]);
        EXPECT_EQ(error(), "");
    }
    EXPECT_EQ(connectionCount(server), 1);
    std::vector<LoggedRequest> requests = receivedRequests(server);
    ASSERT_EQ(requests.size(), 3u);
    for (const LoggedRequest& r : requests) {
        EXPECT_EQ(r.connection, 1);
        EXPECT_NE(r.text.find(" HTTP/1.1\r\n"), std::string::npos);
    }
}

TEST_F(DownloadTest, SeveralThreadsShareThePoolWithoutSharingAConnection) {
    const int threads = 4;
    const int perThread = 12;
    std::vector<std::string> bodies;
    for (int i = 0; i < threads * perThread; i++) {
        bodies.push_back(jpegBody(2000 + 37 * static_cast<size_t>(i), 100 + static_cast<unsigned>(i)));
        serveResource(server, "/t" + std::to_string(i) + ".jpg", bodies.back());
    }
    std::vector<std::thread> workers;
    std::vector<std::string> failures(threads);
    for (int w = 0; w < threads; w++) {
        workers.emplace_back([&, w]() {
            for (int k = 0; k < perThread; k++) {
                int i = w * perThread + k;
                std::string path = file("t" + std::to_string(i) + ".jpg");
                char text[ERROR_TEXT_SIZE] = {0};
                int result = downloadImage(url("/t" + std::to_string(i) + ".jpg").c_str(), 0, path.c_str(),
                                           text, 1, 0);
                if (result != DOWNLOAD_STORED || readWholeFile(path) != bodies[static_cast<size_t>(i)]) {
                    failures[static_cast<size_t>(w)] += std::to_string(i) + ": " + engineToUtf8(text) + "\n";
                }
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    for (const std::string& f : failures)
        EXPECT_EQ(f, "");
    // Every request went over keep-alive; a connection is never used by two threads at once, so
    // no more connections are opened than there are threads, and every one is pooled again.
    std::vector<LoggedRequest> requests = receivedRequests(server);
    EXPECT_EQ(requests.size(), static_cast<size_t>(threads * perThread));
    EXPECT_LE(connectionCount(server), threads);
    EXPECT_EQ(pooledConnectionCount("127.0.0.1", server.port, 0), connectionCount(server));
}

TEST_F(DownloadTest, RequestTextInBothModes) {
    std::string body = jpegBody(100, 5);
    addReply(server, okReply(body));
    addReply(server, okReply(body, "Connection: close\r\n"));
    const std::string path = "/p/a b.jpg?x=1&y=%20&amp;z=2#frag";
    ASSERT_EQ(download(url(path), 1), DOWNLOAD_STORED) << error();
    ASSERT_EQ(download(url(path), 0), DOWNLOAD_STORED) << error();

    const std::string agent =
        "User-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 5.2; Trident/4.0; CIBA)";
    const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port);
    const std::string sentPath = "/p/a b.jpg?x=1&y=%20&z=2#frag";
    std::vector<LoggedRequest> requests = receivedRequests(server);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].text, "GET " + sentPath + " HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\n" +
                                    agent + "\r\n" + host + "\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(requests[1].text, "GET " + sentPath + " HTTP/1.0\r\nAccept: */*\r\nAccept-Language: zh-cn\r\n" +
                                    agent + "\r\n" + host + "\r\nConnection: close\r\n\r\n");
    // The close mode request went over a connection of its own.
    EXPECT_EQ(requests[1].connection, 2);
}

TEST_F(DownloadTest, OverriddenServerKeepsHostLineAndKeys) {
    ASSERT_EQ(addConnectOverride(("img.example.test:80:127.0.0.1:" + std::to_string(server.port)).c_str()),
              1);
    serveResource(server, "/a.jpg", jpegBody(500, 6));
    ASSERT_EQ(download("http://img.example.test/a.jpg"), DOWNLOAD_STORED) << error();
    ASSERT_EQ(download("http://img.example.test/a.jpg"), DOWNLOAD_STORED) << error();
    std::vector<LoggedRequest> requests = receivedRequests(server);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].text.find("\r\nHost: img.example.test\r\n"), std::string::npos);
    EXPECT_EQ(connectionCount(server), 1);
    // The pool holds the connection under the address's own server.
    EXPECT_EQ(pooledConnectionCount("img.example.test", 80, 0), 1);
    EXPECT_EQ(pooledConnectionCount("127.0.0.1", server.port, 0), 0);
}

TEST_F(DownloadTest, PooledConnectionOutOfStepIsNeverReused) {
    // A server that closes the connection it announced to keep: the next image opens a fresh one
    // instead of failing on the dead one first.
    std::string body = jpegBody(2000, 7);
    TestReply first;
    first.bytes = okReply(body, "Connection: keep-alive\r\n");
    first.closeAfterReply = true;
    addReply(server, first);
    ASSERT_EQ(download(url("/a.jpg")), DOWNLOAD_STORED) << error();
    SocketHandle pooled = pooledSocket();
    ASSERT_NE(pooled, NO_SOCKET);
    ASSERT_EQ(waitReadable(pooled, 10000), 1) << "the server's close never arrived";
    addReply(server, okReply(body));
    EXPECT_EQ(download(url("/b.jpg")), DOWNLOAD_STORED) << error();
    EXPECT_EQ(error(), "");
    EXPECT_EQ(readWholeFile(dest), body);
    EXPECT_EQ(connectionCount(server), 2);
    EXPECT_EQ(requestLine(1), "GET /b.jpg HTTP/1.1");

    // A server that sends one answer nobody asked for after an image: every later image still
    // holds its own body.
    closeAllPooledSockets();
    std::string bodies[4];
    for (int i = 0; i < 4; i++) {
        bodies[i] = jpegBody(3000 + 100 * static_cast<size_t>(i), 20 + static_cast<unsigned>(i));
        serveResource(server, "/img" + std::to_string(i) + ".jpg", bodies[i]);
    }
    TestReply withStray;
    std::string answer = okReply(bodies[0]);
    withStray.bytes = answer + okReply(jpegBody(1500, 99));
    withStray.pieceSize = static_cast<int>(answer.size());
    withStray.pauseMilliseconds = 200; // the image is read before the stray answer comes
    addReply(server, withStray);
    ASSERT_EQ(download(url("/img0.jpg")), DOWNLOAD_STORED) << error();
    EXPECT_EQ(readWholeFile(dest), bodies[0]);
    // When the stray answer came apart from the image, wait until it lies on the connection.
    pooled = pooledSocket();
    if (pooled != NO_SOCKET) {
        ASSERT_EQ(waitReadable(pooled, 10000), 1);
    }
    for (int i = 1; i < 4; i++) {
        ASSERT_EQ(download(url("/img" + std::to_string(i) + ".jpg")), DOWNLOAD_STORED) << error();
        EXPECT_TRUE(readWholeFile(dest) == bodies[i]) << "image " << i << " holds another body";
    }
}

TEST_F(DownloadTest, ConnectionDelimitedBody) {
    std::string body = jpegBody(70000, 8);
    TestReply delimited;
    delimited.bytes = rawReply("HTTP/1.1 200 OK", "Connection: close\r\n", body);
    delimited.closeAfterReply = true;

    // Close mode reads it to the end of the connection.
    addReply(server, delimited);
    ASSERT_EQ(download(url("/a.jpg"), 0), DOWNLOAD_STORED) << error();
    EXPECT_EQ(readWholeFile(dest), body);

    // Keep-alive mode cannot tell a whole body from a cut one: it fails first, then close mode fetches it.
    addReply(server, delimited);
    addReply(server, delimited);
    ASSERT_EQ(download(url("/b.jpg"), 1), DOWNLOAD_STORED);
    EXPECT_EQ(readWholeFile(dest), body);
    EXPECT_EQ(error(), "(fileSize:未定义, readTotal:70000), (header.isChunked:0, isChunkReceiveCompleted:0)");
    EXPECT_EQ(requestLine(1), "GET /b.jpg HTTP/1.1");
    EXPECT_EQ(requestLine(2), "GET /b.jpg HTTP/1.0");
}

TEST_F(DownloadTest, KeepAliveAnswerWithoutAnyLength) {
    std::string body = jpegBody(300, 9);
    addReply(server, rawReply("HTTP/1.1 200 OK", "Connection: keep-alive\r\n", body));
    TestReply delimited;
    delimited.bytes = rawReply("HTTP/1.1 200 OK", "", body);
    delimited.closeAfterReply = true;
    addReply(server, delimited);
    ASSERT_EQ(download(url("/a.jpg")), DOWNLOAD_STORED);
    EXPECT_EQ(error(), "Connection: keep-alive, Content-Length = -1");
    EXPECT_EQ(readWholeFile(dest), body);
}

TEST_F(DownloadTest, ContentLengthBodies) {
    // A body that arrives in many small pieces, and one that comes whole with the head.
    std::string body = jpegBody(5000, 10);
    TestReply slow;
    slow.bytes = okReply(body);
    slow.pieceSize = 777;
    slow.pauseMilliseconds = 1;
    addReply(server, slow);
    ASSERT_EQ(download(url("/a.jpg")), DOWNLOAD_STORED) << error();
    EXPECT_EQ(readWholeFile(dest), body);

    std::string tiny = jpegBody(2, 11);
    addReply(server, okReply(tiny));
    ASSERT_EQ(download(url("/b.jpg")), DOWNLOAD_STORED) << error();
    EXPECT_EQ(readWholeFile(dest), tiny);

    // More body bytes with the head than announced.
    addReply(server, rawReply("HTTP/1.1 200 OK", "Content-Length: 5\r\n", jpegBody(10, 12)));
    addReply(server, rawReply("HTTP/1.1 200 OK", "Content-Length: 5\r\n", jpegBody(10, 12)));
    EXPECT_EQ(download(url("/c.jpg")), DOWNLOAD_REFUSED);
    EXPECT_EQ(error(), "readTotal > fileSize, 当前下载的文件数据大小:10, fileSize:5");
    EXPECT_FALSE(destExists());

    // A body cut short by the server: keep-alive fails on the length, close mode on the mismatch.
    TestReply cut;
    cut.bytes = okReply(jpegBody(20000, 13));
    cut.closeAfterBytes = 10000;
    addReply(server, cut);
    addReply(server, cut);
    EXPECT_EQ(download(url("/d.jpg")), DOWNLOAD_REFUSED);
    EXPECT_EQ(error().rfind("图片大小:20000, 实际接收到的文件大小:", 0), 0u) << error();
    EXPECT_FALSE(destExists());
}

// The chunk framing the test server sends when asked for odd but valid size lines.
std::string oddChunks(const std::string& body) {
    std::string out;
    out += "0x14\r\n" + body.substr(0, 20) + "\r\n";
    out += "  14;name=value\r\n" + body.substr(20, 20) + "\r\n";
    out += "0X14 \r\n" + body.substr(40, 20) + "\r\n";
    out += "0000000000000001\r\n" + body.substr(60, 1) + "\r\n";
    out += "0;last\r\nX-Trailer: one\r\nY-Trailer: two\r\n\r\n";
    return out;
}

TEST_F(DownloadTest, ChunkedBodyByteByByteWithOddSizeLinesAndTrailers) {
    std::string body = jpegBody(61, 14);
    TestReply trickle;
    trickle.bytes = rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", oddChunks(body));
    trickle.pieceSize = 1;
    trickle.pauseMilliseconds = 1;
    addReply(server, trickle);
    ASSERT_EQ(download(url("/a.jpg")), DOWNLOAD_STORED) << error();
    EXPECT_EQ(readWholeFile(dest), body);

    // Nothing of the first answer is left on the connection: the next image reads cleanly from it.
    std::string next = jpegBody(3000, 15);
    addReply(server, rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", chunkedBody(next, 1000)));
    ASSERT_EQ(download(url("/b.jpg")), DOWNLOAD_STORED) << error();
    EXPECT_EQ(readWholeFile(dest), next);
    EXPECT_EQ(connectionCount(server), 1);
    EXPECT_EQ(requestCount(), 2u);
}

TEST_F(DownloadTest, ChunkedBodiesOfEverySize) {
    setFraming(server, BodyFraming::CHUNKED);
    const size_t sizes[] = {1000, 8192, 8193, 100000};
    const int chunkSizes[] = {1, 7, 4096, 8190, 8192, 20000};
    int n = 0;
    for (size_t size : sizes) {
        for (int chunk : chunkSizes) {
            if (chunk == 1 && size > 10000) continue;
            server.mutex.lock();
            server.chunkSize = chunk;
            server.mutex.unlock();
            std::string body = jpegBody(size, static_cast<unsigned>(n));
            std::string path = "/c" + std::to_string(n++) + ".jpg";
            serveResource(server, path, body);
            ASSERT_EQ(download(url(path)), DOWNLOAD_STORED)
                << error() << " size " << size << " chunk " << chunk;
            ASSERT_EQ(readWholeFile(dest), body) << "size " << size << " chunk " << chunk;
        }
    }
    EXPECT_EQ(connectionCount(server), 1);
}

TEST_F(DownloadTest, ChunkedBodyCutShortIsNeverStored) {
    std::string framed = chunkedBody(jpegBody(30000, 16), 20000);
    TestReply cut;
    cut.bytes = rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\nConnection: close\r\n", framed);
    cut.closeAfterBytes = 15000; // inside the first chunk's data
    addReply(server, cut);
    addReply(server, cut);
    EXPECT_EQ(download(url("/a.jpg")), DOWNLOAD_FAILED);
    EXPECT_FALSE(destExists());
    EXPECT_EQ(requestCount(), 2u);
}

TEST_F(DownloadTest, ChunkSizesThatOverflowAreFailures) {
    const char* lines[] = {"10000000000000000", "FFFFFFFF", "80000000"};
    for (const char* line : lines) {
        SCOPED_TRACE(line);
        std::string body = std::string(line) + "\r\n" + jpegBody(10, 17) + "\r\n0\r\n\r\n";
        addReply(server, rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", body));
        addReply(server, rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", body));
        EXPECT_EQ(download(url("/a.jpg")), DOWNLOAD_FAILED);
        EXPECT_EQ(error().rfind("不正常: 这里就有问题了, chunksize:", 0), 0u) << error();
        EXPECT_FALSE(destExists());
    }
}

TEST_F(DownloadTest, ChunkSizesAreReadByValue) {
    // Leading zeros do not count towards the digit limit, in a data chunk and in the last one.
    std::string body = jpegBody(1000, 19);
    std::string framed = "000000000000000003e8\r\n" + body + "\r\n" + std::string(24, '0') + "\r\n\r\n";
    addReply(server, rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", framed));
    ASSERT_EQ(download(url("/a.jpg")), DOWNLOAD_STORED) << error();
    EXPECT_EQ(readWholeFile(dest), body);

    // Behind the zeros, more than 16 significant digits or a value above 2^31-1 still overflow.
    const char* lines[] = {"00010000000000000000", "000000000080000000"};
    for (const char* line : lines) {
        SCOPED_TRACE(line);
        std::string bad = std::string(line) + "\r\n" + jpegBody(10, 17) + "\r\n0\r\n\r\n";
        addReply(server, rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", bad));
        addReply(server, rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", bad));
        EXPECT_EQ(download(url("/b.jpg")), DOWNLOAD_FAILED);
        EXPECT_EQ(error().rfind("不正常: 这里就有问题了, chunksize:", 0), 0u) << error();
    }
}

TEST_F(DownloadTest, TenMebibyteLimit) {
    std::string exact = jpegBody(MAX_IMAGE_SIZE, 18);
    std::string over = exact + "x";
    serveResource(server, "/exact.jpg", exact);
    serveResource(server, "/over.jpg", over);

    ASSERT_EQ(download(url("/exact.jpg")), DOWNLOAD_STORED) << error();
    EXPECT_EQ(fileSize(dest.c_str()), MAX_IMAGE_SIZE);
    EXPECT_EQ(download(url("/over.jpg")), DOWNLOAD_REFUSED);
    EXPECT_EQ(error(), "fileSize=0, header.contentLength: 10485761, 大于10M");
    EXPECT_FALSE(destExists());

    setFraming(server, BodyFraming::CHUNKED);
    ASSERT_EQ(download(url("/exact.jpg")), DOWNLOAD_STORED) << error();
    EXPECT_EQ(fileSize(dest.c_str()), MAX_IMAGE_SIZE);
    EXPECT_EQ(download(url("/over.jpg")), DOWNLOAD_REFUSED);
    EXPECT_EQ(error(), "header.isChunked: 1, chunksize:1, readTotal:10485760 > 10M");
    EXPECT_FALSE(destExists());

    // A single announced chunk beyond the limit is refused before any of it is read.
    addReply(server, rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", "A00001\r\n\xFF\xD8"));
    addReply(server, rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", "A00001\r\n\xFF\xD8"));
    EXPECT_EQ(download(url("/huge.jpg")), DOWNLOAD_REFUSED);
    EXPECT_EQ(error(), "header.isChunked: 1, chunksize:10485761, readTotal:0 > 10M");

    setFraming(server, BodyFraming::CONNECTION_CLOSE);
    ASSERT_EQ(download(url("/exact.jpg"), 0), DOWNLOAD_STORED) << error();
    EXPECT_EQ(fileSize(dest.c_str()), MAX_IMAGE_SIZE);
    EXPECT_EQ(download(url("/over.jpg"), 0), DOWNLOAD_REFUSED);
    EXPECT_EQ(error().rfind("header.contentLength: -1, readTotal:", 0), 0u) << error();
    EXPECT_NE(error().find("> 10M"), std::string::npos);
    EXPECT_FALSE(destExists());
}

TEST_F(DownloadTest, OneRedirectIsFollowed) {
    std::string body = jpegBody(4000, 19);
    serveResource(server, "/real.jpg", body);
    addReply(server, rawReply("HTTP/1.1 302 Found", "Location: " + url("/real.jpg_.webp") +
                                                        "\r\nContent-Length: 0\r\n"
                                                        "Connection: keep-alive\r\n"));
    ASSERT_EQ(download(url("/moved.jpg")), DOWNLOAD_STORED) << error();
    EXPECT_EQ(readWholeFile(dest), body);
    EXPECT_EQ(requestLine(1), "GET /real.jpg HTTP/1.1");
    // The redirect's body was complete, so its connection carried the follow-up.
    EXPECT_EQ(connectionCount(server), 1);

    // A redirect whose body is not known to be read never leaves its connection in the pool.
    addReply(server, rawReply("HTTP/1.0 301 Moved",
                              "Location: " + url("/real.jpg") +
                                  "\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n",
                              "5\r\nmoved\r\n0\r\n\r\n"));
    ASSERT_EQ(download(url("/moved2.jpg")), DOWNLOAD_STORED) << error();
    EXPECT_EQ(readWholeFile(dest), body);
    EXPECT_EQ(connectionCount(server), 2);
    EXPECT_EQ(error(), "");
}

TEST_F(DownloadTest, RedirectLoopAndRelativeLocationAreRefused) {
    for (int i = 0; i < 2; i++) {
        addReply(server, rawReply("HTTP/1.1 302 Found",
                                  "Location: " + url("/again.jpg") + "\r\nContent-Length: 0\r\n"));
    }
    EXPECT_EQ(download(url("/a.jpg")), DOWNLOAD_FAILED);
    EXPECT_EQ(error().rfind("图片地址的跳转形成了循环，不再跟随：", 0), 0u) << error();
    EXPECT_FALSE(destExists());
    // The first redirect and the follow-up; a refused redirect is not asked again in close mode.
    EXPECT_EQ(requestCount(), 2u);

    addReply(server, rawReply("HTTP/1.1 302 Found", "Location: /relative.jpg\r\nContent-Length: 0\r\n"));
    EXPECT_EQ(download(url("/b.jpg")), DOWNLOAD_FAILED);
    EXPECT_EQ(error(), "无法parse下载图片地址");
    EXPECT_EQ(requestCount(), 3u);

    // A Location too long for its field is refused rather than shortened.
    std::string longLocation = url("/" + std::string(600, 'l') + ".jpg");
    for (int i = 0; i < 2; i++) {
        addReply(server,
                 rawReply("HTTP/1.1 302 Found", "Location: " + longLocation + "\r\nContent-Length: 0\r\n"));
    }
    EXPECT_EQ(download(url("/c.jpg")), DOWNLOAD_FAILED);
    EXPECT_EQ(error(), "Location 超过 511 字节, 无法跟随跳转");
    EXPECT_EQ(requestCount(), 5u);
    EXPECT_FALSE(destExists());
}

TEST_F(DownloadTest, NotFoundCostsTwoRequests) {
    EXPECT_EQ(download(url("/missing.jpg")), DOWNLOAD_FAILED);
    EXPECT_EQ(error(), "404 Not Found - 文件不存在");
    EXPECT_EQ(requestCount(), 2u);
    EXPECT_EQ(requestLine(0), "GET /missing.jpg HTTP/1.1");
    EXPECT_EQ(requestLine(1), "GET /missing.jpg HTTP/1.0");
    EXPECT_FALSE(destExists());

    addReply(server, rawReply("HTTP/1.1 500 Internal Server Error", "Content-Length: 0\r\n"));
    addReply(server, rawReply("HTTP/1.1 500 Internal Server Error", "Content-Length: 0\r\n"));
    EXPECT_EQ(download(url("/broken.jpg")), DOWNLOAD_FAILED);
    EXPECT_EQ(error(),
              "返回错误的http状态码:\nHTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
}

TEST_F(DownloadTest, ContentsThatAreRefused) {
    struct Case {
        const char* name;
        std::string reply;
        int result;
        const char* text;
    };
    const Case cases[] = {
        {"webp", okReply(std::string("RIFF\x10\0\0\0WEBPVP8 ", 16)), DOWNLOAD_REFUSED,
         "下载的图片格式不受支持"},
        {"html", okReply("<html><body>error</body></html>"), DOWNLOAD_REFUSED, "下载的图片格式不受支持"},
        {"empty", okReply(""), DOWNLOAD_REFUSED, "下载的图片格式不受支持"},
        {"one byte", okReply("\xFF"), DOWNLOAD_REFUSED, "下载的图片格式不受支持"},
        {"encoded", okReply(jpegBody(50, 20), "Content-Encoding: gzip\r\n"), DOWNLOAD_FAILED,
         "header.contentEncoding:gzip"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        addReply(server, c.reply);
        addReply(server, c.reply);
        size_t before = requestCount();
        EXPECT_EQ(download(url("/x.jpg")), c.result);
        EXPECT_EQ(error(), c.text);
        EXPECT_FALSE(destExists());
        EXPECT_EQ(requestCount(), before + 2);
    }
    // Every supported signature, and a status line in lower case.
    const char* signatures[] = {"\xFF\xD8", "\x89P", "GI", "BM"};
    for (const char* signature : signatures) {
        std::string body = std::string(signature) + "rest of the image";
        addReply(server,
                 "http/1.1 200 ok\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        EXPECT_EQ(download(url("/y.jpg")), DOWNLOAD_STORED) << error();
        EXPECT_EQ(readWholeFile(dest), body);
    }
}

TEST_F(DownloadTest, HeadLimit) {
    std::string body = jpegBody(100, 21);
    // A head of exactly HTTP_BUFFER_SIZE bytes with its blank line, the body after it.
    std::string start = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nX-Fill: ";
    std::string fill(HTTP_BUFFER_SIZE - start.size() - 4, 'f');
    TestReply exact;
    exact.bytes = start + fill + "\r\n\r\n" + body;
    exact.pieceSize = HTTP_BUFFER_SIZE;
    exact.pauseMilliseconds = 20;
    addReply(server, exact);
    ASSERT_EQ(download(url("/a.jpg")), DOWNLOAD_STORED) << error();
    EXPECT_EQ(readWholeFile(dest), body);

    std::string tooLong = start + fill + "f\r\n\r\n" + body;
    addReply(server, tooLong);
    addReply(server, tooLong);
    EXPECT_EQ(download(url("/b.jpg")), DOWNLOAD_FAILED);
    EXPECT_EQ(error(), "读取 HTTP_BUFFER_SIZE 字节, 还没有读取完整个 HTTP Head.");
    EXPECT_FALSE(destExists());
}

TEST_F(DownloadTimeOutTest, SilentServerIsBoundedByTheReceiveTimeOut) {
    TestReply silent;
    silent.neverAnswer = true;
    addReply(server, silent);
    addReply(server, silent);
    auto start = std::chrono::steady_clock::now();
    EXPECT_LT(download(url("/a.jpg")), DOWNLOAD_STORED);
    double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 2 * SHORT_IO_TIMEOUT_MS / 1000.0 * 0.9);
    EXPECT_LT(elapsed, 5.0);
    EXPECT_FALSE(destExists());
    EXPECT_EQ(requestCount(), 2u);
}

TEST_F(DownloadTest, UnusableAddressesAndFiles) {
    EXPECT_EQ(download("ftp://127.0.0.1/a.jpg"), DOWNLOAD_FAILED);
    EXPECT_EQ(error(), "无法parse下载图片地址");
    EXPECT_EQ(download(url("/" + std::string(900, 'p'))), DOWNLOAD_FAILED);
    EXPECT_EQ(error(), "图片地址过长, 无法组成 HTTP 请求");
    EXPECT_EQ(requestCount(), 0u);

    // The file cannot be created: -3 at once, without a close mode attempt.
    serveResource(server, "/a.jpg", jpegBody(100, 22));
    dest = file("no-such-folder") + PATH_SEPARATOR + "a.jpg";
    EXPECT_EQ(download(url("/a.jpg")), DOWNLOAD_CREATE_FAILED);
    EXPECT_EQ(error(), "图片搬家失败：无法创建新文件。");
    EXPECT_EQ(requestCountAfterWaiting(1), 1u);

    // A server that cannot be reached: the connect failure text, in both attempts.
    uint16_t port = 0;
    SocketHandle probe = listenOnLoopback(0, 1, &port);
    closeSocket(probe);
    dest = file("b.jpg");
    EXPECT_EQ(download("http://127.0.0.1:" + std::to_string(port) + "/a.jpg"), DOWNLOAD_FAILED);
    EXPECT_EQ(error().rfind("使用非阻塞方式连接发生错误，错误码:", 0), 0u) << error();
    EXPECT_EQ(connectFailureCount("127.0.0.1", port), 2);
}

#ifndef _WIN32
TEST_F(DownloadTest, ShortWriteIsAWriteFailure) {
    std::string body = jpegBody(200000, 23);
    serveResource(server, "/a.jpg", body);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 50000;
    void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int result = download(url("/a.jpg"));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(result, DOWNLOAD_WRITE_FAILED);
    EXPECT_EQ(error(), "写入文件时出错，请检查硬盘可用空间是否已不足。");
    EXPECT_FALSE(destExists());
    EXPECT_EQ(requestCount(), 1u);
}
#endif

} // namespace
