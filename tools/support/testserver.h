// A scripted HTTP server on 127.0.0.1 for tests, benchmarks and local trials. It listens on an
// ephemeral port on a thread of its own and serves each connection on a further thread, counting
// connections and logging every request it reads.
//
// Each request takes the next scripted reply when there is one; otherwise it is served from the
// in-memory resources, then from the served folder, with the chosen body framing; anything else
// gets a 404. Replies are sent exactly as scripted, so they may be malformed on purpose.
//
// In builds with VEDO_TEST_TLS (OpenSSL available to the test support) the server can speak https
// instead (startTlsTestServer): every connection begins with a TLS handshake and all scripting
// works on the decrypted stream.
#pragma once
#include "platform/sockets.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TestReply {
    std::string bytes;              // sent as they are
    int pieceSize = 0;              // > 0: sent in pieces of this many bytes
    int pauseMilliseconds = 0;      // pause after each piece
    long long closeAfterBytes = -1; // >= 0: close the connection once this many bytes are sent
    bool neverAnswer = false;       // read the request and hold the connection without answering
    bool closeAfterReply = false;   // close the connection once the reply is sent
    // TLS only, >= 0: the reply is encrypted whole, but only this many of the encrypted bytes are
    // sent before the connection is closed (a value inside a record cuts that record).
    long long closeAfterEncryptedBytes = -1;
    // TLS only: once the whole reply is sent, the TCP connection is closed at the end of its last
    // record without close_notify.
    bool closeWithoutNotify = false;
};

// The highest TLS version a test server speaks (the values are those of the protocol).
constexpr int TEST_TLS_1_2 = 0x0303;
constexpr int TEST_TLS_1_3 = 0x0304;
#ifdef _WIN32
// Wine's SChannel speaks no TLS 1.3.
constexpr int TEST_TLS_DEFAULT_MAX = TEST_TLS_1_2;
#else
constexpr int TEST_TLS_DEFAULT_MAX = TEST_TLS_1_3;
#endif

enum class BodyFraming { CONTENT_LENGTH, CHUNKED, CONNECTION_CLOSE };

// How a server at its connection limit treats one connection more: a 503 or a 429 (with the chosen
// Retry-After, if any) after reading its request, a reset right after accepting it (SO_LINGER 0),
// or a close before reading anything.
enum class LimitAnswer { STATUS_503, STATUS_429, RESET, REFUSE };

struct LoggedRequest {
    int connection; // 1 for the first connection the server accepted, and so on
    std::string text;
};

struct TestServerConnection {
    SocketHandle socket = NO_SOCKET;
    std::thread thread;
};

struct TestServer {
    uint16_t port = 0;
    SocketHandle listener = NO_SOCKET;
    std::atomic<bool> stopping{false};
    std::thread acceptThread;
    // Set before the server starts: the highest TLS version spoken (startTlsTestServer).
    int tlsMaxVersion = TEST_TLS_DEFAULT_MAX;
    void* tlsContext = nullptr; // the server's SSL_CTX once started with TLS

    std::mutex mutex; // guards everything below
    std::deque<TestReply> script;
    std::map<std::string, std::string> resources; // path (with its query) -> body
    std::string folder;
    BodyFraming framing = BodyFraming::CONTENT_LENGTH;
    int chunkSize = 4096; // data bytes per chunk of a chunked answer
    int connections = 0;
    bool stallTlsHandshake = false; // accept connections but never answer their ClientHello
    // TLS 1.3: a new session ticket follows every reply, in the same send as the reply's last bytes.
    bool ticketAfterReply = false;
    std::vector<LoggedRequest> requests;
    std::vector<std::unique_ptr<TestServerConnection>> open;

    // Each reply not taken from the script waits a pseudo-random 0 to maxReplyDelay ms first
    // (0: none), as a distant server's round trip does.
    std::map<std::string, std::string> redirects; // path (with its query) -> Location of a 302
    std::map<std::string, int> held;              // path -> 1 while its requests wait unanswered
    int maxReplyDelay = 0;
    unsigned delaySeed = 1;
    int answering = 0;     // requests whose replies have not begun yet
    int peakAnswering = 0; // the most such requests at one time

    // At most connectionLimit connections are served at once (0: no limit); one more gets
    // limitAnswer and is not counted.
    int connectionLimit = 0;
    LimitAnswer limitAnswer = LimitAnswer::STATUS_503;
    std::string limitRetryAfter; // the Retry-After value of a 503 or 429; empty: none
    int served = 0;              // connections being served now
    int limitRefusals = 0;       // connections turned away by the limit

    ~TestServer();
};

// Starts listening; returns 1 on success.
int startTestServer(TestServer& server);
// Starts listening for https with the certificate chain and key of the PEM files; returns 1 on
// success, 0 when the files cannot be used or the build has no TLS for the test support.
int startTlsTestServer(TestServer& server, const std::string& certFile, const std::string& keyFile);
// Stops accepting, ends every connection and waits for the threads. Safe to call twice.
void stopTestServer(TestServer& server);

void addReply(TestServer& server, const TestReply& reply);
void addReply(TestServer& server, const std::string& bytes);
void serveResource(TestServer& server, const std::string& path, const std::string& body);
void serveFolder(TestServer& server, const std::string& folder);
// Answers every request for path with a 302 to location.
void serveRedirect(TestServer& server, const std::string& path, const std::string& location);
void setFraming(TestServer& server, BodyFraming framing);

int connectionCount(TestServer& server);
// While held, requests for path wait unanswered (until released or the server stops).
void holdPath(TestServer& server, const std::string& path, bool hold);
// Delays every reply not taken from the script by 0 to maxMilliseconds, varying per reply.
void setReplyDelay(TestServer& server, int maxMilliseconds);
// The most requests that waited for their replies at one time: the client's requests in flight.
int peakAnswering(TestServer& server);
std::vector<LoggedRequest> receivedRequests(TestServer& server);
// "http://127.0.0.1:PORT" followed by path (which begins with "/").
std::string serverUrl(const TestServer& server, const std::string& path);
// "https://127.0.0.1:PORT" followed by path.
std::string serverHttpsUrl(const TestServer& server, const std::string& path);
void setStallTlsHandshake(TestServer& server, bool stall);
// Serves at most `limit` connections at once (0: any number); one more gets `answer`.
void setConnectionLimit(TestServer& server, int limit, LimitAnswer answer,
                        const std::string& retryAfter = "");
// How many connections the limit turned away.
int limitRefusals(TestServer& server);

// Reply builders.
// "HTTP/1.1 200 OK", a Content-Length, the extra header lines (each ending in CRLF), the body.
std::string okReply(const std::string& body, const std::string& extraHeaders = "");
// A status line and header lines (each ending in CRLF) followed by the blank line and the body.
std::string rawReply(const std::string& statusLine, const std::string& headers, const std::string& body = "");
// The body in chunks of at most chunkSize bytes with the last chunk and the final CRLF.
std::string chunkedBody(const std::string& body, int chunkSize);
// A JPEG-looking body (FF D8 then varied bytes) of the given size; the same seed gives the same bytes.
std::string jpegBody(size_t size, unsigned seed);
