// Tests of the HTTP wire text: address parsing, the request and the response head.
#include "http/httpparse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct UrlCase {
    const char* url;
    int result;
    const char* host;
    uint32_t port;
    const char* path;
};

TEST(ParseUrl, SchemesPortsAndHostParts) {
    const UrlCase cases[] = {
        {"http://h.example/a.jpg", 1, "h.example", 80, "/a.jpg"},
        {"HTTP://h.example:81/a.jpg", 1, "h.example", 81, "/a.jpg"},
        {"https://h.example/a.jpg", 1, "h.example", 443, "/a.jpg"},
        // Only a lower-case "https:" selects 443.
        {"HTTPS://h.example/a.jpg", 1, "h.example", 80, "/a.jpg"},
        {"https://h.example:444/a.jpg", 1, "h.example", 444, "/a.jpg"},
        {"http://:82/a.jpg", 1, "", 82, "/a.jpg"},
        {"http://h.example:/a.jpg", 1, "h.example", 0, "/a.jpg"},
        {"http://h.example:abc/a.jpg", 1, "h.example", 0, "/a.jpg"},
        {"HttpX://h.example/a.jpg", 1, "h.example", 80, "/a.jpg"},
        {"ftp://h.example/a.jpg", 0, nullptr, 0, nullptr},
        // The host part must be followed by a "/".
        {"http://h.example", 0, nullptr, 0, nullptr},
        {"http://h.example?x=1", 0, nullptr, 0, nullptr},
        // A single "/" after the colon loses the host's first character.
        {"http:/h.example/a.jpg", 1, ".example", 80, "/a.jpg"},
        {"http:/h/a.jpg", 1, "", 80, "/a.jpg"},
        // Nothing after the only "/": refused without reading past the end.
        {"http:/", 0, nullptr, 0, nullptr},
        {"http", 0, nullptr, 0, nullptr},
        {"", 0, nullptr, 0, nullptr},
        // Path, query and fragment untouched, blanks and escapes included.
        {"http://h/p/a b.jpg?x=1&amp;y=%20#frag", 1, "h", 80, "/p/a b.jpg?x=1&amp;y=%20#frag"},
        {"http://h//", 1, "h", 80, "//"},
        // Only the first colon of the host part separates the port.
        {"http://h:8080:9/x", 1, "h", 8080, "/x"},
    };
    for (const UrlCase& c : cases) {
        SCOPED_TRACE(c.url);
        UrlParts parts = {nullptr, nullptr, 12345};
        ASSERT_EQ(parseUrl(c.url, &parts, 0), c.result);
        if (c.result == 1) {
            EXPECT_STREQ(parts.host, c.host);
            EXPECT_STREQ(parts.path, c.path);
            EXPECT_EQ(parts.port, c.port);
        } else {
            EXPECT_EQ(parts.host, nullptr);
            EXPECT_EQ(parts.path, nullptr);
        }
        freeUrlParts(&parts);
        EXPECT_EQ(parts.host, nullptr);
        freeUrlParts(&parts);
    }
}

TEST(ParseUrl, SecureModeReadsHttpsInAnyCaseAndProtocolRelativeAddresses) {
    struct SecureCase {
        const char* url;
        int result;
        int secure;
        const char* host;
        uint32_t port;
    };
    const SecureCase cases[] = {
        {"https://h.example/a.jpg", 1, 1, "h.example", 443},
        {"HTTPS://h.example/a.jpg", 1, 1, "h.example", 443},
        {"HtTpS://h.example:8443/a.jpg", 1, 1, "h.example", 8443},
        {"//h.example/a.jpg", 1, 1, "h.example", 443},
        {"//h.example:81/a.jpg", 1, 1, "h.example", 81},
        {"http://h.example/a.jpg", 1, 0, "h.example", 80},
        // "//" must be followed by a host.
        {"///a.jpg", 0, 0, nullptr, 0},
        {"//", 0, 0, nullptr, 0},
        {"/a.jpg", 0, 0, nullptr, 0},
        {"//h.example", 0, 0, nullptr, 0},
    };
    for (const SecureCase& c : cases) {
        SCOPED_TRACE(c.url);
        UrlParts parts = {nullptr, nullptr, 0};
        ASSERT_EQ(parseUrl(c.url, &parts, 1), c.result);
        if (c.result == 1) {
            EXPECT_EQ(parts.secure, c.secure);
            EXPECT_STREQ(parts.host, c.host);
            EXPECT_EQ(parts.port, c.port);
            EXPECT_STREQ(parts.path, "/a.jpg");
        }
        freeUrlParts(&parts);
    }
    // The Host line of an https address leaves out 443 as that of http leaves out 80.
    UrlParts parts = {nullptr, nullptr, 0};
    char request[REQUEST_BUFFER_SIZE];
    ASSERT_EQ(parseUrl("//img.example/a.jpg", &parts, 1), 1);
    buildGetRequest(&parts, 1, request, sizeof request);
    EXPECT_NE(std::strstr(request, "\r\nHost: img.example\r\n"), nullptr);
    freeUrlParts(&parts);
    ASSERT_EQ(parseUrl("https://img.example:80/a.jpg", &parts, 1), 1);
    buildGetRequest(&parts, 1, request, sizeof request);
    EXPECT_NE(std::strstr(request, "\r\nHost: img.example:80\r\n"), nullptr);
    freeUrlParts(&parts);

    // Without the mode neither is https: a protocol-relative address is no address.
    ASSERT_EQ(parseUrl("//h.example/a.jpg", &parts, 0), 0);
    ASSERT_EQ(parseUrl("HTTPS://h.example/a.jpg", &parts, 0), 1);
    EXPECT_EQ(parts.secure, 0);
    EXPECT_EQ(parts.port, 80u);
    freeUrlParts(&parts);
}

const char* const USER_AGENT =
    "User-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 5.2; Trident/4.0; CIBA)";

std::string expectedRequest(const std::string& path, const char* protocol, const std::string& host,
                            const char* connection) {
    return "GET " + path + " " + protocol + "\r\nAccept: */*\r\nAccept-Language: zh-cn\r\n" + USER_AGENT +
           "\r\nHost: " + host + "\r\nConnection: " + connection + "\r\n\r\n";
}

TEST(BuildGetRequest, BothModesByteForByte) {
    UrlParts parts = {nullptr, nullptr, 0};
    ASSERT_EQ(parseUrl("http://img.example/i/a b.jpg?x=1#top", &parts, 0), 1);
    char request[REQUEST_BUFFER_SIZE];

    int n = buildGetRequest(&parts, 1, request, sizeof request);
    std::string keepAlive = expectedRequest("/i/a b.jpg?x=1#top", "HTTP/1.1", "img.example", "keep-alive");
    EXPECT_EQ(std::string(request), keepAlive);
    EXPECT_EQ(n, static_cast<int>(keepAlive.size()));

    n = buildGetRequest(&parts, 0, request, sizeof request);
    std::string close = expectedRequest("/i/a b.jpg?x=1#top", "HTTP/1.0", "img.example", "close");
    EXPECT_EQ(std::string(request), close);
    EXPECT_EQ(n, static_cast<int>(close.size()));
    freeUrlParts(&parts);

    // Any port but 80 is written out, 443 included.
    ASSERT_EQ(parseUrl("https://img.example/a.jpg", &parts, 0), 1);
    buildGetRequest(&parts, 1, request, sizeof request);
    EXPECT_NE(std::strstr(request, "\r\nHost: img.example:443\r\n"), nullptr);
    freeUrlParts(&parts);
    ASSERT_EQ(parseUrl("http://img.example:80/a.jpg", &parts, 0), 1);
    buildGetRequest(&parts, 1, request, sizeof request);
    EXPECT_NE(std::strstr(request, "\r\nHost: img.example\r\n"), nullptr);
    freeUrlParts(&parts);
}

TEST(BuildGetRequest, RefusesWhatDoesNotFitAndNeverWritesPast) {
    // Fixed parts: 169 bytes in keep-alive mode, 164 in close mode; host "h" and port 80 add 1.
    const int fixedKeepAlive = 169 + 1;
    const int fixedClose = 164 + 1;
    std::string fitsKeepAlive(REQUEST_BUFFER_SIZE - 1 - fixedKeepAlive, 'p');
    fitsKeepAlive[0] = '/';
    std::string url = "http://h" + fitsKeepAlive;
    UrlParts parts = {nullptr, nullptr, 0};
    ASSERT_EQ(parseUrl(url.c_str(), &parts, 0), 1);

    char request[REQUEST_BUFFER_SIZE + 16];
    std::memset(request, '#', sizeof request);
    EXPECT_EQ(buildGetRequest(&parts, 1, request, REQUEST_BUFFER_SIZE), REQUEST_BUFFER_SIZE - 1);
    freeUrlParts(&parts);

    url += "p";
    ASSERT_EQ(parseUrl(url.c_str(), &parts, 0), 1);
    std::memset(request, '#', sizeof request);
    EXPECT_EQ(buildGetRequest(&parts, 1, request, REQUEST_BUFFER_SIZE), -1);
    EXPECT_EQ(request[0], '\0');
    EXPECT_EQ(request[REQUEST_BUFFER_SIZE], '#');
    // Close mode is five bytes shorter and still fits.
    EXPECT_EQ(buildGetRequest(&parts, 0, request, REQUEST_BUFFER_SIZE),
              fixedClose + static_cast<int>(fitsKeepAlive.size()) + 1);
    freeUrlParts(&parts);

    // A long host name is held in the request buffer, not in a small Host line buffer.
    std::string host(200, 'a');
    url = "http://" + host + ":8080/x.jpg";
    ASSERT_EQ(parseUrl(url.c_str(), &parts, 0), 1);
    ASSERT_GT(buildGetRequest(&parts, 1, request, REQUEST_BUFFER_SIZE), 0);
    EXPECT_NE(std::strstr(request, ("\r\nHost: " + host + ":8080\r\n").c_str()), nullptr);
    freeUrlParts(&parts);
}

HttpHeader parsed(const std::string& text) {
    HttpHeader header;
    std::memset(&header, 0, sizeof header);
    std::string copy = text;
    parseResponseHead(&copy[0], &header);
    return header;
}

TEST(ParseResponseHead, RecognisedLines) {
    HttpHeader h = parsed("HTTP/1.1 200 OK");
    EXPECT_EQ(h.contentLength, -1);
    EXPECT_EQ(h.isChunked, 0);
    EXPECT_STREQ(h.location, "");
    EXPECT_STREQ(h.connection, "");
    EXPECT_STREQ(h.contentEncoding, "");

    h = parsed("HTTP/1.1 302 Found\r\ncontent-length: 77\r\nLOCATION: http://h/Next.JPG\r\n"
               "Connection: Close\r\nContent-Encoding: gzip\r\nX-Other: 1");
    EXPECT_EQ(h.contentLength, 77);
    EXPECT_STREQ(h.location, "http://h/Next.JPG");
    EXPECT_STREQ(h.connection, "Close");
    EXPECT_STREQ(h.contentEncoding, "gzip");

    EXPECT_EQ(parsed("HTTP/1.1 200 OK\r\nContent-Length: abc").contentLength, 0);
    EXPECT_EQ(parsed("HTTP/1.1 200 OK\r\nContent-Length:12").contentLength, -1);
    EXPECT_EQ(parsed("HTTP/1.1 200 OK\r\nContent-Length : 12").contentLength, -1);
    // The later of two lines wins; lone CRs and LFs split lines too.
    EXPECT_EQ(parsed("HTTP/1.1 200 OK\nContent-Length: 5\rContent-Length: 9\r\n").contentLength, 9);

    EXPECT_EQ(parsed("HTTP/1.1 200 OK\r\ntransfer-encoding: CHUNKED").isChunked, 1);
    EXPECT_EQ(parsed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked ").isChunked, 0);
    EXPECT_EQ(parsed("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked").isChunked, 0);
}

TEST(ParseResponseHead, ValuesLongerThanTheirFields) {
    // A Content-Length beyond int32_t stays large instead of wrapping to a small or absent value.
    EXPECT_EQ(parsed("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999").contentLength, 2147483647);
    EXPECT_EQ(parsed("HTTP/1.1 200 OK\r\nContent-Length: 4294967296").contentLength, 2147483647);

    std::string longLocation = "http://h/" + std::string(LOCATION_SIZE, 'x');
    HttpHeader h = parsed("HTTP/1.1 302 Found\r\nLocation: " + longLocation);
    EXPECT_STREQ(h.location, "");
    EXPECT_EQ(h.locationTooLong, 1);

    std::string fits = "http://h/" + std::string(LOCATION_SIZE - 1 - 9, 'y');
    h = parsed("HTTP/1.1 302 Found\r\nLocation: " + fits);
    EXPECT_EQ(std::string(h.location), fits);
    EXPECT_EQ(h.locationTooLong, 0);

    h = parsed("HTTP/1.1 200 OK\r\nConnection: keep-alive, Upgrade, close\r\nContent-Encoding: " +
               std::string(100, 'z'));
    EXPECT_EQ(std::strlen(h.connection), static_cast<size_t>(CONNECTION_SIZE - 1));
    EXPECT_STRCASENE(h.connection, "close");
    EXPECT_EQ(std::strlen(h.contentEncoding), static_cast<size_t>(CONTENT_ENCODING_SIZE - 1));
}

TEST(StatusPrefixes, ImageDownloadIgnoresCaseTextFetchDoesNot) {
    EXPECT_TRUE(isImageStatusOk("http/1.1 200 ok\r\n"));
    EXPECT_FALSE(isFetchStatusOk("http/1.1 200 ok\r\n"));
    EXPECT_TRUE(isFetchStatusOk("HTTP/1.0 200 OK\r\n"));
    EXPECT_FALSE(isImageStatusOk("HTTP/1.1 200 Fine\r\n"));
    EXPECT_FALSE(isImageStatusOk("HTTP/1.1 204 No Content\r\n"));
    EXPECT_FALSE(isImageStatusOk("HTTP/2 200 OK\r\n"));
    EXPECT_TRUE(isImageStatusRedirect("HTTP/1.0 301 Moved"));
    EXPECT_TRUE(isImageStatusRedirect("http/1.1 302 found"));
    EXPECT_FALSE(isImageStatusRedirect("HTTP/1.1 303 See Other"));
    EXPECT_TRUE(isImageStatusNotFound("HTTP/1.0 404 Not Found"));
}

} // namespace

TEST(RetryAfter, SecondsDatesGarbageAndTheCap) {
    // 1994-11-06 08:49:37 UTC.
    const long long now = 784111777LL;
    struct Case {
        const char* value;
        int seconds;
    } cases[] = {
        {"0", 0},
        {" 7 ", 7},
        {"60", 60},
        {"61", 60},
        {"000000000000000000000000005", 5},
        {"99999999999999999999999999", 60},
        {"Sun, 06 Nov 1994 08:49:47 GMT", 10},
        {"Sunday, 06-Nov-94 08:50:07 GMT", 30},
        {"Sun Nov  6 08:49:42 1994", 5},
        {"Sun, 06 Nov 1994 08:49:07 GMT", 0},
        {"Mon, 07 Nov 1994 08:49:37 GMT", 60},
        {"Sat, 01 Jan 2000 00:00:00 GMT", 60},
        {"", -1},
        {"-5", -1},
        {"+5", -1},
        {"5s", -1},
        {"1.5", -1},
        {"soon", -1},
        {"Sun, 06 Nov 1994 08:49:47", -1},
        {"Sun, 06 Foo 1994 08:49:47 GMT", -1},
        {"Sun, 06 Nov 1994 25:49:47 GMT", -1},
        {"Sun, 00 Nov 1994 08:49:47 GMT", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseRetryAfter(c.value, now), c.seconds) << "\"" << c.value << "\"";

    EXPECT_EQ(parsed("HTTP/1.1 503 Busy\r\nRetry-After: 3").retryAfterSeconds, 3);
    EXPECT_EQ(parsed("HTTP/1.1 429 Slow down\r\nretry-after:12\r\nContent-Length: 0").retryAfterSeconds, 12);
    EXPECT_EQ(parsed("HTTP/1.1 503 Busy\r\nRetry-After: later").retryAfterSeconds, -1);
    EXPECT_EQ(parsed("HTTP/1.1 503 Busy").retryAfterSeconds, -1);
    EXPECT_TRUE(isImageStatusBusy("HTTP/1.1 503 Service Unavailable"));
    EXPECT_TRUE(isImageStatusBusy("http/1.0 429 Too Many Requests"));
    EXPECT_FALSE(isImageStatusBusy("HTTP/1.1 500 Internal Server Error"));
}
