// The scripted HTTP forward proxy on 127.0.0.1 of the tests, the benchmarks and local trials.
#include "tools/support/testproxy.h"

#include "core/scope.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <cctype>
#include <cstddef>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

static constexpr int POLL_MILLISECONDS = 20;
static constexpr size_t REQUEST_HEAD_LIMIT = 16384;
static constexpr size_t ANSWER_HEAD_LIMIT = 65536;
static constexpr size_t LINE_LIMIT = 8192; // a chunk-size line or a trailer line
static constexpr int RELAY_BLOCK = 65536;
static constexpr int CONNECT_MILLISECONDS = 5000;
static constexpr int UPSTREAM_IDLE_MILLISECONDS = 60000; // an upstream silent this long is given up
static constexpr int SEND_TIMEOUT_MILLISECONDS = 5000;
static constexpr long long NO_LIMIT = -1;

// What a receive gave besides bytes.
static constexpr int STREAM_ENDED = 0;
static constexpr int STREAM_FAILED = -1;  // a receive failed (a reset)
static constexpr int STREAM_STOPPED = -2; // the proxy stops, or the idle limit passed

TestProxy::~TestProxy() {
    stopTestProxy(*this);
}

// One side of a relayed connection: the socket and the bytes received but not yet passed on.
struct ProxyStream {
    SocketHandle socket = NO_SOCKET;
    std::string buffer;
    size_t at = 0; // the bytes before this one are consumed
};

static size_t availableBytes(const ProxyStream& stream) {
    return stream.buffer.size() - stream.at;
}

static void consumeAll(ProxyStream& stream) {
    stream.buffer.clear();
    stream.at = 0;
}

// Waits for the socket in slices that watch the stop, then receives one block into the stream: the
// count, STREAM_ENDED, STREAM_FAILED or STREAM_STOPPED. idleLimit 0: wait as long as the proxy runs.
static int receiveMore(TestProxy& proxy, ProxyStream& stream, int idleLimit) {
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (proxy.stopping.load()) return STREAM_STOPPED;
        int ready = waitReadable(stream.socket, POLL_MILLISECONDS);
        if (ready < 0) return STREAM_FAILED;
        if (ready > 0) break;
        auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (idleLimit > 0 && waited.count() >= idleLimit) return STREAM_STOPPED;
    }
    if (stream.at == stream.buffer.size()) {
        consumeAll(stream);
    } else if (stream.at >= static_cast<size_t>(RELAY_BLOCK)) {
        stream.buffer.erase(0, stream.at);
        stream.at = 0;
    }
    size_t old = stream.buffer.size();
    stream.buffer.resize(old + RELAY_BLOCK);
    int n = receiveSome(stream.socket, &stream.buffer[old], RELAY_BLOCK);
    stream.buffer.resize(old + static_cast<size_t>(n > 0 ? n : 0));
    if (n < 0) return STREAM_FAILED;
    return n;
}

// Reads one head, up to and with its blank line: 1 when read, STREAM_ENDED when the stream ended
// (or was reset) before any byte of it, STREAM_STOPPED on a stop or the idle limit, STREAM_FAILED
// when it ended inside the head or the head is longer than limit.
static int readHead(TestProxy& proxy, ProxyStream& stream, size_t limit, int idleLimit, std::string* head) {
    for (;;) {
        size_t end = stream.buffer.find("\r\n\r\n", stream.at);
        if (end != std::string::npos) {
            if (end + 4 - stream.at > limit) return STREAM_FAILED;
            head->assign(stream.buffer, stream.at, end + 4 - stream.at);
            stream.at = end + 4;
            return 1;
        }
        if (availableBytes(stream) > limit) return STREAM_FAILED;
        int n = receiveMore(proxy, stream, idleLimit);
        if (n == STREAM_STOPPED) return STREAM_STOPPED;
        if (n <= 0) return availableBytes(stream) == 0 ? STREAM_ENDED : STREAM_FAILED;
    }
}

static bool equalsIgnoreCase(const char* a, size_t length, const char* b) {
    if (std::strlen(b) != length) return false;
    for (size_t i = 0; i < length; i++) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

static std::string trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

// The value of the first header field of that name in a head (trimmed); *found tells whether the
// head has one.
static std::string headerValue(const std::string& head, const char* name, bool* found = nullptr) {
    if (found) *found = false;
    size_t line = head.find("\r\n");
    while (line != std::string::npos && line + 2 < head.size()) {
        size_t begin = line + 2;
        size_t end = head.find("\r\n", begin);
        if (end == std::string::npos || end == begin) break;
        size_t colon = head.find(':', begin);
        if (colon != std::string::npos && colon < end &&
            equalsIgnoreCase(head.data() + begin, colon - begin, name)) {
            if (found) *found = true;
            return trimmed(head.substr(colon + 1, end - colon - 1));
        }
        line = end;
    }
    return std::string();
}

// Whether a comma-separated field value holds the token, in any case.
static bool hasToken(const std::string& value, const char* token) {
    size_t begin = 0;
    while (begin <= value.size()) {
        size_t end = value.find(',', begin);
        if (end == std::string::npos) end = value.size();
        std::string item = trimmed(value.substr(begin, end - begin));
        if (equalsIgnoreCase(item.data(), item.size(), token)) return true;
        begin = end + 1;
    }
    return false;
}

static bool sendText(SocketHandle socket, const std::string& text) {
    return sendAll(socket, text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size());
}

// Sends what out holds (nothing when the bytes are being discarded: to is NO_SOCKET).
static bool flushOut(SocketHandle to, std::string& out) {
    bool sent = out.empty() || to == NO_SOCKET || sendText(to, out);
    out.clear();
    return sent;
}

// Passes count bytes (NO_LIMIT: all until the stream ends) from the stream on to `to` by way of
// out, which is sent whenever it fills and before every wait. False when a side failed or, with a
// count, the stream ended first.
static bool relayBytes(TestProxy& proxy, ProxyStream& from, SocketHandle to, std::string& out,
                       long long count) {
    while (count != 0) {
        if (availableBytes(from) == 0) {
            if (!flushOut(to, out)) return false;
            int n = receiveMore(proxy, from, UPSTREAM_IDLE_MILLISECONDS);
            if (n == STREAM_ENDED && count == NO_LIMIT) return true;
            if (n <= 0) return false;
        }
        size_t take = availableBytes(from);
        if (count != NO_LIMIT && static_cast<unsigned long long>(count) < take)
            take = static_cast<size_t>(count);
        if (out.empty() && to != NO_SOCKET) {
            if (sendAll(to, from.buffer.data() + from.at, static_cast<int>(take)) != static_cast<int>(take))
                return false;
        } else if (to != NO_SOCKET) {
            out.append(from.buffer, from.at, take);
            if (out.size() >= static_cast<size_t>(RELAY_BLOCK) && !flushOut(to, out)) return false;
        }
        from.at += take;
        if (count != NO_LIMIT) count -= static_cast<long long>(take);
    }
    return true;
}

// Passes one line (with its CRLF) on by way of out; *line receives it without the CRLF.
static bool relayLine(TestProxy& proxy, ProxyStream& from, SocketHandle to, std::string& out,
                      std::string* line) {
    for (;;) {
        size_t end = from.buffer.find("\r\n", from.at);
        if (end != std::string::npos && end - from.at <= LINE_LIMIT) {
            line->assign(from.buffer, from.at, end - from.at);
            if (to != NO_SOCKET) out.append(from.buffer, from.at, end + 2 - from.at);
            from.at = end + 2;
            return true;
        }
        if (availableBytes(from) > LINE_LIMIT) return false;
        if (!flushOut(to, out)) return false;
        if (receiveMore(proxy, from, UPSTREAM_IDLE_MILLISECONDS) <= 0) return false;
    }
}

// Passes a chunked body on as it came, chunk-size lines and trailers included.
static bool relayChunked(TestProxy& proxy, ProxyStream& from, SocketHandle to, std::string& out) {
    std::string line;
    for (;;) {
        if (!relayLine(proxy, from, to, out, &line)) return false;
        unsigned long long size = 0;
        size_t digits = 0;
        while (digits < line.size() && std::isxdigit(static_cast<unsigned char>(line[digits]))) {
            if (digits == 15) return false;
            char c = static_cast<char>(std::tolower(static_cast<unsigned char>(line[digits])));
            size = size * 16 + static_cast<unsigned long long>(c <= '9' ? c - '0' : c - 'a' + 10);
            digits++;
        }
        if (digits == 0) return false;
        if (size == 0) {
            do {
                if (!relayLine(proxy, from, to, out, &line)) return false;
            } while (!line.empty());
            return flushOut(to, out);
        }
        if (!relayBytes(proxy, from, to, out, static_cast<long long>(size))) return false;
        if (!relayLine(proxy, from, to, out, &line) || !line.empty()) return false;
    }
}

// How a message's body is delimited.
enum class BodyKind { NONE, LENGTH, CHUNKED, UNTIL_CLOSE };

// The body of a request: chunked, by Content-Length, or none. False for a Content-Length that is
// not a number.
static bool requestBody(const std::string& head, BodyKind* kind, long long* length) {
    *length = 0;
    bool found;
    if (hasToken(headerValue(head, "Transfer-Encoding", &found), "chunked")) {
        *kind = BodyKind::CHUNKED;
        return true;
    }
    std::string value = headerValue(head, "Content-Length", &found);
    *kind = found ? BodyKind::LENGTH : BodyKind::NONE;
    if (!found) return true;
    if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *length = std::stoll(value);
    return true;
}

// Passes a body on, after what out holds already (the head it follows, sent with its first bytes).
static bool relayBody(TestProxy& proxy, ProxyStream& from, SocketHandle to, BodyKind kind, long long length,
                      std::string out = std::string()) {
    bool relayed = true;
    if (kind == BodyKind::LENGTH) relayed = relayBytes(proxy, from, to, out, length);
    if (kind == BodyKind::CHUNKED) relayed = relayChunked(proxy, from, to, out);
    if (kind == BodyKind::UNTIL_CLOSE) relayed = relayBytes(proxy, from, to, out, NO_LIMIT);
    return flushOut(to, out) && relayed;
}

// The three parts of a request line; false when it does not have exactly three.
static bool splitRequestLine(const std::string& line, std::string* method, std::string* target,
                             std::string* version) {
    size_t first = line.find(' ');
    if (first == std::string::npos) return false;
    size_t second = line.find(' ', first + 1);
    if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos) return false;
    *method = line.substr(0, first);
    *target = line.substr(first + 1, second - first - 1);
    *version = line.substr(second + 1);
    return !method->empty() && !target->empty() && version->compare(0, 5, "HTTP/") == 0;
}

// Splits "host:port" (the port defaulting to defaultPort when absent); the host comes back in lower
// case. False for an empty host or a port that is not 1 to 65535.
static bool splitHostPort(const std::string& authority, int defaultPort, std::string* host, int* port) {
    size_t colon = authority.rfind(':');
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        colon = authority.find(':', close);
    }
    *host = authority.substr(0, colon);
    *port = defaultPort;
    if (colon != std::string::npos) {
        std::string digits = authority.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        *port = std::atoi(digits.c_str());
    }
    for (char& c : *host)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return !host->empty() && *port >= 1 && *port <= 65535;
}

// Where a target goes: the host map first, else a literal IPv4 address or "localhost".
static bool resolveTarget(TestProxy& proxy, const std::string& host, int port, uint32_t* address,
                          uint16_t* targetPort) {
    std::string key = host + ":" + std::to_string(port);
    std::string mapped;
    {
        std::lock_guard<std::mutex> lock(proxy.mutex);
        auto hit = proxy.hostMap.find(key);
        if (hit != proxy.hostMap.end()) mapped = hit->second;
    }
    std::string targetHost = host;
    int number = port;
    if (!mapped.empty() && !splitHostPort(mapped, 80, &targetHost, &number)) return false;
    *targetPort = static_cast<uint16_t>(number);
    if (targetHost == "localhost") return parseIpv4Address("127.0.0.1", address) == 1;
    return parseIpv4Address(targetHost.c_str(), address) == 1;
}

static void setNoDelay(SocketHandle socket) {
#ifdef _WIN32
    BOOL yes = TRUE;
    setsockopt(static_cast<SOCKET>(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes),
               sizeof yes);
#else
    int yes = 1;
    setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
#endif
}

// Connects to the target with a bounded wait that a stop ends, and records the socket with the
// connection so that a stop can end a wait on it. NO_SOCKET on failure.
static SocketHandle connectUpstream(TestProxy& proxy, TestProxyConnection& connection, uint32_t address,
                                    uint16_t port) {
    SocketGuard socket(createTcpSocket());
    if (socket.socket == NO_SOCKET || setSocketNonBlocking(socket.socket, 1) != 1) return NO_SOCKET;
    int errorCode = 0;
    int started = startConnect(socket.socket, address, port, &errorCode);
    if (started < 0) return NO_SOCKET;
    for (int waited = 0; started == 0; waited += POLL_MILLISECONDS) {
        if (proxy.stopping.load() || waited >= CONNECT_MILLISECONDS) return NO_SOCKET;
        int result = waitForConnect(socket.socket, POLL_MILLISECONDS, &errorCode);
        if (result == CONNECT_READY) break;
        if (result != CONNECT_TIMED_OUT) return NO_SOCKET;
    }
    if (setSocketNonBlocking(socket.socket, 0) != 1) return NO_SOCKET;
    setNoDelay(socket.socket);
    setSocketTimeouts(socket.socket, SEND_TIMEOUT_MILLISECONDS);
    std::lock_guard<std::mutex> lock(proxy.mutex);
    connection.upstream = socket.release();
    return connection.upstream;
}

static void closeUpstream(TestProxy& proxy, TestProxyConnection& connection, ProxyStream& upstream) {
    {
        std::lock_guard<std::mutex> lock(proxy.mutex);
        connection.upstream = NO_SOCKET;
    }
    if (upstream.socket != NO_SOCKET) closeSocket(upstream.socket);
    upstream.socket = NO_SOCKET;
    consumeAll(upstream);
}

// Waits until either socket is readable: 1 with *firstReady and *secondReady set, 0 when neither
// was within the time, -1 on failure.
static int waitEitherReadable(SocketHandle first, SocketHandle second, int milliseconds, bool* firstReady,
                              bool* secondReady) {
#ifdef _WIN32
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(first), &readable);
    FD_SET(static_cast<SOCKET>(second), &readable);
    struct timeval limit;
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    int result = select(0, &readable, nullptr, nullptr, &limit);
    if (result <= 0) return result < 0 ? -1 : 0;
    *firstReady = FD_ISSET(static_cast<SOCKET>(first), &readable) != 0;
    *secondReady = FD_ISSET(static_cast<SOCKET>(second), &readable) != 0;
    return 1;
#else
    struct pollfd watched[2];
    watched[0].fd = static_cast<int>(first);
    watched[1].fd = static_cast<int>(second);
    watched[0].events = watched[1].events = POLLIN;
    watched[0].revents = watched[1].revents = 0;
    int result;
    do {
        result = poll(watched, 2, milliseconds);
    } while (result < 0 && errno == EINTR);
    if (result <= 0) return result < 0 ? -1 : 0;
    *firstReady = watched[0].revents != 0;
    *secondReady = watched[1].revents != 0;
    return 1;
#endif
}

// Receives one block from a ready socket and sends it to the other; false when either side ended.
static bool passBlock(SocketHandle from, SocketHandle to, char* block) {
    int n = receiveSome(from, block, RELAY_BLOCK);
    return n > 0 && sendAll(to, block, n) == n;
}

static const char* const ANSWER_407 = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                      "Proxy-Authenticate: Basic realm=\"test\"\r\nContent-Length: 0\r\n\r\n";
static const char* const ANSWER_403 =
    "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
static const char* const ANSWER_502 = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";
static const char* const ANSWER_502_CLOSE =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
static const char* const ANSWER_400 =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
static const char* const ANSWER_ESTABLISHED = "HTTP/1.1 200 Connection Established\r\n\r\n";

// A CONNECT: the tunnel to the target, relaying both ways until either side ends or the proxy
// stops. The client connection ends with it.
static void tunnel(TestProxy& proxy, TestProxyConnection& connection, ProxyStream& client,
                   const std::string& authority) {
    std::string host;
    int port;
    if (!splitHostPort(authority, 0, &host, &port)) {
        sendText(client.socket, ANSWER_400);
        return;
    }
    bool refused;
    {
        std::lock_guard<std::mutex> lock(proxy.mutex);
        refused = proxy.refusedConnectPorts.count(port) > 0;
    }
    if (refused) {
        sendText(client.socket, ANSWER_403);
        return;
    }
    uint32_t address;
    uint16_t targetPort;
    SocketHandle upstream = NO_SOCKET;
    if (resolveTarget(proxy, host, port, &address, &targetPort))
        upstream = connectUpstream(proxy, connection, address, targetPort);
    if (upstream == NO_SOCKET) {
        sendText(client.socket, ANSWER_502_CLOSE);
        return;
    }
    ProxyStream target;
    target.socket = upstream;
    auto release = onScopeExit([&] { closeUpstream(proxy, connection, target); });
    if (!sendText(client.socket, ANSWER_ESTABLISHED)) return;
    // Bytes the client sent right behind its CONNECT (an eager ClientHello) go first.
    if (availableBytes(client) > 0) {
        std::string out;
        if (!relayBytes(proxy, client, upstream, out, static_cast<long long>(availableBytes(client)))) return;
    }
    std::string block(static_cast<size_t>(RELAY_BLOCK), '\0');
    while (!proxy.stopping.load()) {
        bool fromClient = false, fromTarget = false;
        int ready = waitEitherReadable(client.socket, upstream, POLL_MILLISECONDS, &fromClient, &fromTarget);
        if (ready < 0) return;
        if (fromClient && !passBlock(client.socket, upstream, &block[0])) return;
        if (fromTarget && !passBlock(upstream, client.socket, &block[0])) return;
    }
}

// How the relay of one answer ended.
enum class AnswerEnd {
    KEPT,          // complete; the upstream connection may carry the next request
    UPSTREAM_DONE, // complete; the upstream connection closes
    CLOSED,        // delimited by the end of the upstream connection, or broken: both close
    NONE,          // the upstream ended or failed before any byte of an answer
    UNUSABLE       // no answer came in time, or what came is no answer: nothing reached the client
};

// Relays one answer (with any interim 1xx answers before it) from upstream to the client.
static AnswerEnd relayAnswer(TestProxy& proxy, ProxyStream& upstream, SocketHandle client, bool headRequest) {
    bool sentAny = false;
    for (;;) {
        std::string head;
        int read = readHead(proxy, upstream, ANSWER_HEAD_LIMIT, UPSTREAM_IDLE_MILLISECONDS, &head);
        if (read == STREAM_ENDED && !sentAny) return AnswerEnd::NONE;
        if (read != 1) return sentAny ? AnswerEnd::CLOSED : AnswerEnd::UNUSABLE;
        int status = head.size() > 12 && head.compare(0, 5, "HTTP/") == 0 ? std::atoi(head.c_str() + 9) : 0;
        if (status < 100) return sentAny ? AnswerEnd::CLOSED : AnswerEnd::UNUSABLE;
        sentAny = true;
        if (status < 200 && status != 101) {
            if (!sendText(client, head)) return AnswerEnd::CLOSED;
            continue;
        }
        bool http10 = head.compare(0, 8, "HTTP/1.0") == 0;
        std::string connectionValue = headerValue(head, "Connection");
        bool upstreamKeeps =
            http10 ? hasToken(connectionValue, "keep-alive") : !hasToken(connectionValue, "close");
        BodyKind kind = BodyKind::UNTIL_CLOSE;
        long long length = 0;
        if (headRequest || status == 204 || status == 304) {
            kind = BodyKind::NONE;
        } else if (!requestBody(head, &kind, &length)) {
            return AnswerEnd::CLOSED;
        } else if (kind == BodyKind::NONE) {
            kind = BodyKind::UNTIL_CLOSE;
        }
        if (status == 101) kind = BodyKind::UNTIL_CLOSE;
        if (!relayBody(proxy, upstream, client, kind, length, head)) return AnswerEnd::CLOSED;
        if (kind == BodyKind::UNTIL_CLOSE) return AnswerEnd::CLOSED;
        return upstreamKeeps ? AnswerEnd::KEPT : AnswerEnd::UPSTREAM_DONE;
    }
}

// The request as it goes upstream: the request line in origin form and the header fields as they
// came, without the proxy's own.
static std::string upstreamHead(const std::string& head, const std::string& method, const std::string& path,
                                const std::string& version) {
    std::string out = method + " " + path + " " + version + "\r\n";
    size_t begin = head.find("\r\n") + 2;
    while (begin < head.size()) {
        size_t end = head.find("\r\n", begin);
        if (end == std::string::npos) break;
        size_t colon = head.find(':', begin);
        bool own = colon != std::string::npos && colon < end &&
                   (equalsIgnoreCase(head.data() + begin, colon - begin, "Proxy-Authorization") ||
                    equalsIgnoreCase(head.data() + begin, colon - begin, "Proxy-Connection"));
        if (!own) out.append(head, begin, end + 2 - begin);
        begin = end + 2;
    }
    return out;
}

// The state of one client connection between its requests.
struct ClientState {
    ProxyStream client;
    ProxyStream upstream;
    std::string upstreamKey; // "host:port" of the open upstream connection
};

// An absolute-form request: sent upstream and its answer relayed. Returns whether the client
// connection stays open for the next request.
static bool forward(TestProxy& proxy, TestProxyConnection& connection, ClientState& state,
                    const std::string& head, const std::string& method, const std::string& target,
                    const std::string& version, bool clientKeeps) {
    size_t authorityStart = 7; // after "http://"
    size_t pathStart = target.find_first_of("/?", authorityStart);
    std::string authority = target.substr(
        authorityStart, pathStart == std::string::npos ? std::string::npos : pathStart - authorityStart);
    std::string path = pathStart == std::string::npos ? "/" : target.substr(pathStart);
    if (path[0] == '?') path = "/" + path;
    BodyKind bodyKind;
    long long bodyLength;
    std::string host;
    int port;
    if (!requestBody(head, &bodyKind, &bodyLength) || !splitHostPort(authority, 80, &host, &port)) {
        sendText(state.client.socket, ANSWER_400);
        return false;
    }
    std::string key = host + ":" + std::to_string(port);
    // A kept upstream connection goes when the target differs, or when it has something to read
    // between answers: its server closed it (or sent bytes nobody asked for).
    if (state.upstream.socket != NO_SOCKET &&
        (state.upstreamKey != key || availableBytes(state.upstream) > 0 ||
         waitReadable(state.upstream.socket, 0) != 0))
        closeUpstream(proxy, connection, state.upstream);
    std::string request = upstreamHead(head, method, path, version);
    bool reused = state.upstream.socket != NO_SOCKET;
    bool bodyTaken = bodyKind == BodyKind::NONE; // the client's body was read (and passed on)
    AnswerEnd end = AnswerEnd::NONE;
    for (int attempt = 0; attempt < 2; attempt++) {
        if (state.upstream.socket == NO_SOCKET) {
            uint32_t address;
            uint16_t targetPort;
            if (resolveTarget(proxy, host, port, &address, &targetPort))
                state.upstream.socket = connectUpstream(proxy, connection, address, targetPort);
            if (state.upstream.socket == NO_SOCKET) break;
            state.upstreamKey = key;
        }
        bool sent = sendText(state.upstream.socket, request);
        if (sent && !bodyTaken) {
            bodyTaken = true;
            sent = relayBody(proxy, state.client, state.upstream.socket, bodyKind, bodyLength);
            if (!sent) {
                sendText(state.client.socket, ANSWER_502_CLOSE);
                return false;
            }
        }
        end = sent ? relayAnswer(proxy, state.upstream, state.client.socket, method == "HEAD")
                   : AnswerEnd::NONE;
        // A kept upstream connection that its server closed meanwhile is opened afresh, once, when
        // the request can be sent again.
        if (end != AnswerEnd::NONE || !reused || (bodyKind != BodyKind::NONE && bodyTaken) ||
            proxy.stopping.load())
            break;
        closeUpstream(proxy, connection, state.upstream);
        reused = false;
    }
    if (end != AnswerEnd::KEPT) closeUpstream(proxy, connection, state.upstream);
    if (end == AnswerEnd::UNUSABLE) {
        sendText(state.client.socket, ANSWER_502_CLOSE);
        return false;
    }
    if (end == AnswerEnd::NONE) {
        // A body never sent is read and dropped so that the next request starts where it should.
        bool keeps =
            clientKeeps && (bodyTaken || relayBody(proxy, state.client, NO_SOCKET, bodyKind, bodyLength));
        sendText(state.client.socket, keeps ? ANSWER_502 : ANSWER_502_CLOSE);
        return keeps;
    }
    return end != AnswerEnd::CLOSED && clientKeeps;
}

static void serveClient(TestProxy& proxy, TestProxyConnection& connection) {
    ClientState state;
    state.client.socket = connection.client;
    while (!proxy.stopping.load()) {
        std::string head;
        int read = readHead(proxy, state.client, REQUEST_HEAD_LIMIT, 0, &head);
        if (read != 1) {
            if (read == STREAM_FAILED && availableBytes(state.client) > REQUEST_HEAD_LIMIT)
                sendText(state.client.socket, ANSWER_400);
            break;
        }
        std::string line = head.substr(0, head.find("\r\n"));
        std::string authorization = headerValue(head, "Proxy-Authorization");
        std::string required;
        bool always407;
        {
            std::lock_guard<std::mutex> lock(proxy.mutex);
            proxy.requestLines.push_back(line);
            proxy.authorizations.push_back(authorization);
            required = proxy.requiredAuthorization;
            always407 = proxy.alwaysAnswer407;
        }
        std::string method, target, version;
        if (!splitRequestLine(line, &method, &target, &version)) {
            sendText(state.client.socket, ANSWER_400);
            break;
        }
        std::string connectionValue =
            headerValue(head, "Connection") + "," + headerValue(head, "Proxy-Connection");
        bool clientKeeps = version == "HTTP/1.0" ? hasToken(connectionValue, "keep-alive")
                                                 : !hasToken(connectionValue, "close");
        if (always407 || (!required.empty() && authorization != required)) {
            BodyKind kind;
            long long length;
            // The body of a refused request is read and dropped so that the next one can follow.
            if (!requestBody(head, &kind, &length) || kind == BodyKind::CHUNKED ||
                !relayBody(proxy, state.client, NO_SOCKET, kind, length)) {
                clientKeeps = false;
            }
            if (!sendText(state.client.socket, ANSWER_407) || !clientKeeps) break;
            continue;
        }
        if (method == "CONNECT") {
            tunnel(proxy, connection, state.client, target);
            break;
        }
        bool absolute = target.size() > 7 && equalsIgnoreCase(target.data(), 7, "http://");
        if (!absolute) {
            sendText(state.client.socket, ANSWER_400);
            break;
        }
        if (!forward(proxy, connection, state, head, method, target, version, clientKeeps)) break;
    }
    closeUpstream(proxy, connection, state.upstream);
}

// Joins the threads of the connections that have ended and releases their sockets.
static void reapFinished(TestProxy& proxy) {
    std::lock_guard<std::mutex> lock(proxy.mutex);
    for (size_t i = 0; i < proxy.open.size();) {
        TestProxyConnection& connection = *proxy.open[i];
        if (!connection.finished.load()) {
            i++;
            continue;
        }
        if (connection.thread.joinable()) connection.thread.join();
        closeSocket(connection.client);
        proxy.open.erase(proxy.open.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

static void acceptLoop(TestProxy& proxy) {
    while (!proxy.stopping.load()) {
        SocketHandle accepted = acceptConnection(proxy.listener, POLL_MILLISECONDS);
        reapFinished(proxy);
        if (accepted == NO_SOCKET) continue;
        // A client that stops reading must not hold a send forever.
        setSocketTimeouts(accepted, SEND_TIMEOUT_MILLISECONDS);
        std::unique_ptr<TestProxyConnection> connection(new TestProxyConnection);
        connection->client = accepted;
        TestProxyConnection* served = connection.get();
        std::lock_guard<std::mutex> lock(proxy.mutex);
        proxy.connections++;
        connection->thread = std::thread([&proxy, served]() {
            serveClient(proxy, *served);
            // Ending both directions now lets the client see the end of the stream at once; the
            // socket itself is released once the thread is joined.
            shutdownSocket(served->client);
            served->finished.store(true);
        });
        proxy.open.push_back(std::move(connection));
    }
}

int startTestProxy(TestProxy& proxy) {
    if (!startSockets()) return 0;
    proxy.stopping.store(false);
    proxy.listener = listenOnLoopback(0, 64, &proxy.port);
    if (proxy.listener == NO_SOCKET) return 0;
    proxy.acceptThread = std::thread([&proxy]() { acceptLoop(proxy); });
    return 1;
}

void stopTestProxy(TestProxy& proxy) {
    proxy.stopping.store(true);
    if (proxy.acceptThread.joinable()) proxy.acceptThread.join();
    if (proxy.listener != NO_SOCKET) {
        closeSocket(proxy.listener);
        proxy.listener = NO_SOCKET;
    }
    std::vector<std::unique_ptr<TestProxyConnection>> connections;
    {
        std::lock_guard<std::mutex> lock(proxy.mutex);
        connections.swap(proxy.open);
        // Ending both directions wakes a send that waits on a peer that does not read.
        for (auto& connection : connections) {
            shutdownSocket(connection->client);
            if (connection->upstream != NO_SOCKET) shutdownSocket(connection->upstream);
        }
    }
    for (auto& connection : connections) {
        if (connection->thread.joinable()) connection->thread.join();
        closeSocket(connection->client);
    }
}

std::string base64Text(const std::string& bytes) {
    static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
        out += ALPHABET[(group >> 18) & 63];
        out += ALPHABET[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? ALPHABET[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? ALPHABET[group & 63] : '=';
    }
    return out;
}

void requireProxyBasicAuth(TestProxy& proxy, const std::string& user, const std::string& password) {
    std::lock_guard<std::mutex> lock(proxy.mutex);
    proxy.requiredAuthorization = "Basic " + base64Text(user + ":" + password);
}

void answerEvery407(TestProxy& proxy, bool on) {
    std::lock_guard<std::mutex> lock(proxy.mutex);
    proxy.alwaysAnswer407 = on;
}

void refuseConnectToPort(TestProxy& proxy, int port) {
    std::lock_guard<std::mutex> lock(proxy.mutex);
    proxy.refusedConnectPorts.insert(port);
}

void mapProxyHost(TestProxy& proxy, const std::string& hostPort, const std::string& target) {
    std::string key = hostPort;
    for (char& c : key)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::lock_guard<std::mutex> lock(proxy.mutex);
    proxy.hostMap[key] = target;
}

std::vector<std::string> proxyRequestLines(TestProxy& proxy) {
    std::lock_guard<std::mutex> lock(proxy.mutex);
    return proxy.requestLines;
}

std::vector<std::string> proxyAuthorizations(TestProxy& proxy) {
    std::lock_guard<std::mutex> lock(proxy.mutex);
    return proxy.authorizations;
}

int proxyConnectionCount(TestProxy& proxy) {
    std::lock_guard<std::mutex> lock(proxy.mutex);
    return proxy.connections;
}

std::string proxyUrl(const TestProxy& proxy, const std::string& userInfo) {
    std::string url = "http://";
    if (!userInfo.empty()) url += userInfo + "@";
    return url + "127.0.0.1:" + std::to_string(proxy.port);
}
