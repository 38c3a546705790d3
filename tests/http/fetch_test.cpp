// Tests of fetching a short text: the body, the failure texts and failures before the request.
#include "http/fetch.h"

#include "http/connectiontest.h"
#include "http/download.h"
#include "httpfixture.h"

#include <memory>
#include <string>

namespace {

struct FetchDeleter {
    void operator()(FetchResult* result) const { freeFetchResult(result); }
};
typedef std::unique_ptr<FetchResult, FetchDeleter> Fetched;

struct FetchTest : NetworkTest {
    Fetched fetch(const std::string& address) { return Fetched(fetchText(address.c_str())); }
};

TEST_F(FetchTest, BodyOfAnAnswerWithContentLength) {
    addReply(server, okReply("true^新版本", "Connection: close\r\n"));
    Fetched r = fetch(url("/checkUpdate.asp?v=6.9"));
    ASSERT_EQ(r->ok, 1) << r->text;
    EXPECT_EQ(r->errorKind, 0);
    EXPECT_EQ(r->length, static_cast<int>(std::string("true^新版本").size()));
    EXPECT_EQ(std::string(r->text), "true^新版本");
    EXPECT_EQ(std::string(r->head), "HTTP/1.1 200 OK\r\nContent-Length: 14\r\nConnection: close");

    std::vector<LoggedRequest> requests = receivedRequests(server);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].text.rfind("GET /checkUpdate.asp?v=6.9 HTTP/1.0\r\n", 0), 0u);
    EXPECT_NE(requests[0].text.find("\r\nConnection: close\r\n\r\n"), std::string::npos);

    // A body that trickles in, bytes that are not text, and an empty body.
    std::string binary("a\0b\r\n\r\nc", 8);
    TestReply slow;
    slow.bytes = okReply(binary);
    slow.pieceSize = 3;
    slow.pauseMilliseconds = 2;
    addReply(server, slow);
    r = fetch(url("/b"));
    ASSERT_EQ(r->ok, 1) << r->text;
    EXPECT_EQ(std::string(r->text, static_cast<size_t>(r->length)), binary);

    addReply(server, okReply(""));
    r = fetch(url("/c"));
    ASSERT_EQ(r->ok, 1);
    EXPECT_EQ(r->length, 0);
    EXPECT_STREQ(r->text, "");
}

TEST_F(FetchTest, FailureTable) {
    struct Case {
        const char* name;
        TestReply reply;
        const char* text; // a prefix of the expected text
        bool headKept;
    };
    TestReply cutHead;
    cutHead.bytes = "HTTP/1.1 200 OK\r\nContent-Len";
    cutHead.closeAfterReply = true;
    TestReply cutBody;
    cutBody.bytes = okReply(std::string(100, 'b'));
    cutBody.closeAfterBytes = static_cast<long long>(cutBody.bytes.size()) - 50;
    TestReply chunked;
    chunked.bytes = rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n", "4\r\ntrue\r\n0\r\n\r\n");
    TestReply redirect;
    redirect.bytes = rawReply("HTTP/1.1 302 Found", "Location: http://127.0.0.1/x\r\nContent-Length: 0\r\n");
    TestReply lowerCase;
    lowerCase.bytes = "http/1.1 200 ok\r\nContent-Length: 4\r\n\r\ntrue";
    TestReply large;
    large.bytes = rawReply("HTTP/1.1 200 OK", "Content-Length: 10485761\r\n");
    TestReply longer;
    longer.bytes = rawReply("HTTP/1.1 200 OK", "Content-Length: 4\r\n", "truefalse");
    TestReply hugeHead;
    hugeHead.bytes = "HTTP/1.1 200 OK\r\nX: " + std::string(HTTP_BUFFER_SIZE, 'h') + "\r\n\r\n";

    const Case cases[] = {
        {"head cut short", cutHead, "图片大小:4294967295, 实际接收到的文件大小:28, ret:0, errno:0", false},
        {"body cut short", cutBody, "图片大小:100, 实际接收到的文件大小:50, ret:0, errno:0", true},
        {"chunked", chunked, "http header 中没找到 Content-Length 字段", true},
        {"redirect", redirect,
         "返回错误的http状态码:\nHTTP/1.1 302 Found\r\nLocation: http://127.0.0.1/x\r\n", false},
        {"lower case", lowerCase, "返回错误的http状态码:\nhttp/1.1 200 ok", false},
        {"too large", large, "fileSize=0, header.contentLength: 10485761, 大于10M", true},
        {"longer than announced", longer, "图片大小:4, http header 返回的 Content-Length:4", true},
        {"head too long", hugeHead, "读取 HTTP_BUFFER_SIZE 字节, 还没有读取完整个 HTTP Head.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        addReply(server, c.reply);
        Fetched r = fetch(url("/checkUpdate.asp"));
        EXPECT_EQ(r->ok, 0);
        EXPECT_EQ(r->errorKind, FETCH_AFTER_REQUEST);
        EXPECT_EQ(r->length, 0);
        ASSERT_NE(r->text, nullptr);
        EXPECT_EQ(engineToUtf8(r->text).rfind(c.text, 0), 0u) << engineToUtf8(r->text);
        EXPECT_EQ(r->head != nullptr, c.headKept);
    }
}

TEST_F(FetchTest, FailuresBeforeTheRequest) {
    Fetched r = fetch("ftp://127.0.0.1/x");
    EXPECT_EQ(r->errorKind, FETCH_ADDRESS_OR_CONNECTION);
    EXPECT_EQ(engineToUtf8(r->text), "无法parse下载图片地址");

    r = fetch("http://update.example.test/checkUpdate.asp");
    EXPECT_EQ(r->errorKind, FETCH_ADDRESS_OR_CONNECTION);
    EXPECT_EQ(engineToUtf8(r->text), "无法解析域名: update.example.test");

    uint16_t port = 0;
    closeSocket(listenOnLoopback(0, 1, &port));
    r = fetch("http://127.0.0.1:" + std::to_string(port) + "/x");
    EXPECT_EQ(r->errorKind, FETCH_ADDRESS_OR_CONNECTION);
    EXPECT_EQ(engineToUtf8(r->text).rfind("使用非阻塞方式连接发生错误，错误码:", 0), 0u)
        << engineToUtf8(r->text);
    EXPECT_EQ(r->head, nullptr);
    // The update check's failures count towards the same limit as the downloads'.
    EXPECT_EQ(connectFailureCount("127.0.0.1", port), 1);

    // Reached through an override, the request still names the address's own server.
    ASSERT_EQ(addConnectOverride(("update.example.test:80:127.0.0.1:" + std::to_string(server.port)).c_str()),
              1);
    addReply(server, okReply("false"));
    r = fetch("http://update.example.test/checkUpdate.asp");
    ASSERT_EQ(r->ok, 1) << r->text;
    EXPECT_STREQ(r->text, "false");
    EXPECT_NE(receivedRequests(server)[0].text.find("\r\nHost: update.example.test\r\n"), std::string::npos);
}

} // namespace
