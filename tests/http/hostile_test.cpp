// Servers that misbehave: connections dropped after every possible byte count of an answer, and a
// matrix of malformed or endless answers. Every case must end in a clean result, with no file left
// behind on failure and no wait beyond the time-outs.
#include "http/connectiontest.h"
#include "http/download.h"

#include "httpfixture.h"
#include "platform/files.h"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct HostileTest : NetworkTest {
    char errorText[ERROR_TEXT_SIZE];
    std::string dest;

    void SetUp() override {
        NetworkTest::SetUp();
        dest = file("image.jpg");
    }

    int download(const std::string& path) {
        std::memset(errorText, 0, sizeof errorText);
        return downloadImage(url(path).c_str(), 0, dest.c_str(), errorText, 1, 0);
    }

    // Forgets what a case left behind: unused scripted replies and pooled connections.
    void resetServer() {
        {
            std::lock_guard<std::mutex> lock(server.mutex);
            server.script.clear();
        }
        closeAllPooledSockets();
    }

    // The same answer for the keep-alive attempt and its close-mode retry.
    void answerTwice(const TestReply& reply) {
        addReply(server, reply);
        addReply(server, reply);
    }
};

struct HostileTimeOutTest : ShortTimeOuts<HostileTest> {};

std::string headOf(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n\r\n") + 4);
}

TEST_F(HostileTest, ConnectionDroppedAfterEveryByteCount) {
    const std::string body = jpegBody(48, 3);
    struct Framing {
        const char* name;
        std::string answer;
        bool endsWithConnection;
    } framings[] = {
        {"content-length", okReply(body), false},
        {"chunked", rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", chunkedBody(body, 20)),
         false},
        {"connection-delimited", rawReply("HTTP/1.1 200 OK", "Connection: close\r\n", body), true},
    };
    size_t cases = 0, expectedCases = 0;
    for (const Framing& f : framings) {
        expectedCases += f.answer.size() + 1;
        const size_t headLength = headOf(f.answer).size();
        for (size_t cut = 0; cut <= f.answer.size(); cut++) {
            SCOPED_TRACE(std::string(f.name) + " cut after " + std::to_string(cut) + " bytes");
            resetServer();
            TestReply reply;
            reply.bytes = f.answer;
            reply.closeAfterBytes = static_cast<long long>(cut);
            answerTwice(reply);
            int result = download("/t.jpg");
            cases++;
            bool complete = cut == f.answer.size();
            // A body that ends with the connection is whole wherever the connection ends, as long as
            // its first two bytes (the signature) arrived.
            bool expectStored = complete || (f.endsWithConnection && cut >= headLength + 2);
            if (expectStored) {
                ASSERT_EQ(result, DOWNLOAD_STORED) << errorText;
                ASSERT_EQ(readWholeFile(dest), body.substr(0, cut - headLength));
            } else {
                ASSERT_TRUE(result == DOWNLOAD_REFUSED || result == DOWNLOAD_FAILED)
                    << result << " " << errorText;
                ASSERT_FALSE(fileExists(dest.c_str())) << "a failed download never leaves its file";
                ASSERT_NE(errorText[0], '\0');
            }
        }
    }
    EXPECT_EQ(cases, expectedCases);
}

TEST_F(HostileTest, OversizedHeads) {
    std::string longHead = "HTTP/1.1 200 OK\r\nX-Filler: " + std::string(8193 - 31, 'f') + "\r\n\r\n";
    ASSERT_GE(longHead.size(), 8193u);
    answerTwice(TestReply{longHead + jpegBody(10, 1)});
    EXPECT_EQ(download("/a.jpg"), DOWNLOAD_FAILED);
    EXPECT_EQ(engineToUtf8(errorText), "读取 HTTP_BUFFER_SIZE 字节, 还没有读取完整个 HTTP Head.");
    EXPECT_FALSE(fileExists(dest.c_str()));

    resetServer();
    std::string hugeLine =
        "HTTP/1.1 200 OK\r\nX-Long: " + std::string(100 * 1024, 'x') + "\r\nContent-Length: 10\r\n\r\n";
    answerTwice(TestReply{hugeLine + jpegBody(10, 2)});
    EXPECT_EQ(download("/a.jpg"), DOWNLOAD_FAILED);
    EXPECT_FALSE(fileExists(dest.c_str()));
}

TEST_F(HostileTest, MalformedChunkSizes) {
    const char* sizes[] = {"12345678901234567", "ILLEGAL", "-5", "0x", ""};
    for (const char* size : sizes) {
        SCOPED_TRACE(size);
        resetServer();
        std::string body = std::string(size) + "\r\n" + jpegBody(30, 4) + "\r\n0\r\n\r\n";
        answerTwice(TestReply{rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", body)});
        int result = download("/a.jpg");
        EXPECT_NE(result, DOWNLOAD_STORED)
            << "a size line that does not give the data's length never stores it";
        EXPECT_FALSE(fileExists(dest.c_str()));
    }
}

TEST_F(HostileTest, MalformedContentLengths) {
    const std::string body = jpegBody(40, 5);
    const char* lengths[] = {"-5", "abc", "99999999999999999999", "4294967296"};
    for (const char* length : lengths) {
        SCOPED_TRACE(length);
        resetServer();
        answerTwice(
            TestReply{rawReply("HTTP/1.1 200 OK", std::string("Content-Length: ") + length + "\r\n", body)});
        EXPECT_EQ(download("/a.jpg"), DOWNLOAD_REFUSED) << errorText;
        EXPECT_FALSE(fileExists(dest.c_str()));
    }

    // Content-Length together with chunked framing: whatever the outcome, it is clean and a stored
    // file holds exactly the image.
    resetServer();
    std::string framed = chunkedBody(body, 16);
    answerTwice(TestReply{rawReply(
        "HTTP/1.1 200 OK",
        "Content-Length: " + std::to_string(framed.size()) + "\r\nTransfer-Encoding: chunked\r\n", framed)});
    int result = download("/a.jpg");
    if (result == DOWNLOAD_STORED) {
        EXPECT_EQ(readWholeFile(dest), body);
    } else {
        EXPECT_TRUE(result == DOWNLOAD_REFUSED || result == DOWNLOAD_FAILED);
        EXPECT_FALSE(fileExists(dest.c_str()));
    }
}

TEST_F(HostileTest, RedirectLoopsAndRedirectsWithoutLocation) {
    std::string self = url("/loop.jpg");
    for (int i = 0; i < 8; i++)
        addReply(server, rawReply("HTTP/1.1 302 Found", "Location: " + self + "\r\nContent-Length: 0\r\n"));
    EXPECT_EQ(download("/loop.jpg"), DOWNLOAD_FAILED);
    EXPECT_EQ(engineToUtf8(errorText).rfind("图片地址的跳转形成了循环，不再跟随：", 0), 0u) << errorText;
    EXPECT_LE(receivedRequests(server).size(), 4u) << "a loop is refused as soon as it closes";
    EXPECT_FALSE(fileExists(dest.c_str()));

    resetServer();
    answerTwice(TestReply{rawReply("HTTP/1.1 302 Found", "Content-Length: 0\r\n")});
    EXPECT_EQ(download("/a.jpg"), DOWNLOAD_FAILED);
    EXPECT_EQ(engineToUtf8(errorText).rfind("返回错误的http状态码:\nHTTP/1.1 302 Found", 0), 0u) << errorText;
}

TEST_F(HostileTimeOutTest, TrickleIsBoundedByTheReceiveTimeOut) {
    TestReply trickle;
    trickle.bytes = okReply(jpegBody(200, 6));
    trickle.pieceSize = 1;
    trickle.pauseMilliseconds = 1000;
    answerTwice(trickle);
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(download("/a.jpg"), DOWNLOAD_STORED);
    // Two attempts, each ended by one receive that waited for the time-out.
    EXPECT_LT(secondsSince(start), 4 * SHORT_IO_TIMEOUT_MS / 1000.0 + 2.0);
    EXPECT_FALSE(fileExists(dest.c_str()));
}

TEST_F(HostileTimeOutTest, BodyWithoutLengthThatStallsIsNoImage) {
    // A body that only the end of the connection ends, cut off by a receive that timed out: half
    // an image that looks whole must not be stored.
    TestReply stall;
    stall.bytes = rawReply("HTTP/1.1 200 OK", "Connection: close\r\n", jpegBody(4000, 7));
    stall.pieceSize = static_cast<int>(stall.bytes.size()) - 1000;
    stall.pauseMilliseconds = 4 * SHORT_IO_TIMEOUT_MS;
    answerTwice(stall);
    EXPECT_EQ(download("/a.jpg"), DOWNLOAD_FAILED);
    EXPECT_FALSE(fileExists(dest.c_str()));
}

TEST_F(HostileTest, LowSpeedLimitIsAnAverageSpeedAndAStopEndsASlowTransfer) {
    // The limit shortened to 1 KiB a second over 1.5 s. A drip of 1,100 bytes every 1.4 s brings
    // more than 1 KiB into every window of 1.5 s, yet averages under 1 KiB a second; a steady link
    // at twice the limit is never given up; a stop ends a slow transfer within a second. None of
    // them is tried a second time.
    setLowSpeedLimit(1024, 1500);
    struct Case {
        const char* name;
        int pieceSize;
        int pauseMilliseconds;
        size_t bodySize;
        int stopAfterMilliseconds; // 0: no stop
        int expected;
        const char* text; // in the failure text
        double minSeconds;
        double maxSeconds;
    } cases[] = {
        {"drip", 1100, 1400, 20000, 0, DOWNLOAD_FAILED, "平均速度低于", 1.4, 4.5},
        {"steady at twice the limit", 205, 100, 6000, 0, DOWNLOAD_STORED, "", 2.0, 20.0},
        {"stopped drip", 1100, 1400, 20000, 300, DOWNLOAD_FAILED, "中止", 0.25, 2.5},
        {"stopped while silent", 0, 0, 0, 300, DOWNLOAD_FAILED, "中止", 0.25, 2.5},
    };
    unsigned seed = 20;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetServer();
        size_t requestsBefore = receivedRequests(server).size();
        std::string body = jpegBody(c.bodySize ? c.bodySize : 10, seed++);
        TestReply reply;
        reply.bytes = okReply(body);
        reply.pieceSize = c.pieceSize;
        reply.pauseMilliseconds = c.pauseMilliseconds;
        reply.neverAnswer = c.bodySize == 0;
        answerTwice(reply);
        std::atomic<int> stop{0};
        setTransferStopFlag(&stop);
        std::thread stopper([&stop, &c] {
            if (!c.stopAfterMilliseconds) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(c.stopAfterMilliseconds));
            stop.store(1);
        });
        auto start = std::chrono::steady_clock::now();
        int result = download("/a.jpg");
        double elapsed = secondsSince(start);
        stopper.join();
        setTransferStopFlag(nullptr);
        EXPECT_EQ(result, c.expected) << engineToUtf8(errorText);
        EXPECT_NE(engineToUtf8(errorText).find(c.text), std::string::npos) << engineToUtf8(errorText);
        EXPECT_GE(elapsed, c.minSeconds);
        EXPECT_LT(elapsed, c.maxSeconds);
        EXPECT_EQ(receivedRequests(server).size(), requestsBefore + 1);
        if (c.expected == DOWNLOAD_STORED) {
            EXPECT_EQ(readWholeFile(dest), body);
        } else {
            EXPECT_FALSE(fileExists(dest.c_str()));
        }
    }
}

TEST_F(HostileTest, EndlessChunkedBodyStopsAtTheSizeLimit) {
    std::string chunk = "10000\r\n" + std::string(0x10000, 'c') + "\r\n";
    std::string endless = "\xFF\xD8";
    endless = "2\r\n" + endless + "\r\n";
    while (endless.size() < static_cast<size_t>(MAX_IMAGE_SIZE) + 512 * 1024)
        endless += chunk;
    TestReply reply;
    reply.bytes = rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", endless);
    answerTwice(reply);
    EXPECT_EQ(download("/a.jpg"), DOWNLOAD_REFUSED) << errorText;
    EXPECT_NE(std::string(errorText).find("10M"), std::string::npos) << errorText;
    EXPECT_FALSE(fileExists(dest.c_str()));
}

} // namespace
