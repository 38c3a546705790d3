// The scripted HTTP server on 127.0.0.1 of the tests, the benchmarks and local trials.
#include "tools/support/testserver.h"

#include "platform/files.h"

#ifdef VEDO_TEST_TLS
#include <openssl/err.h>
#include <openssl/ssl.h>
#endif

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>

static constexpr int POLL_MILLISECONDS = 20;

TestServer::~TestServer() {
    stopTestServer(*this);
#ifdef VEDO_TEST_TLS
    if (tlsContext) SSL_CTX_free(static_cast<SSL_CTX*>(tlsContext));
    tlsContext = nullptr;
#endif
}

// One served connection: the socket and, for https, the TLS session over two memory buffers.
struct ServerStream {
    SocketHandle socket = NO_SOCKET;
#ifdef VEDO_TEST_TLS
    SSL* ssl = nullptr;
    BIO* received = nullptr;
    BIO* outgoing = nullptr;
#endif
};

#ifdef VEDO_TEST_TLS
// The encrypted bytes the session produced, taken out of its buffer.
static std::string takeProduced(ServerStream& stream) {
    std::string bytes;
    char block[16384];
    int n;
    while ((n = BIO_read(stream.outgoing, block, sizeof block)) > 0)
        bytes.append(block, static_cast<size_t>(n));
    return bytes;
}

static bool sendProduced(ServerStream& stream) {
    std::string bytes = takeProduced(stream);
    return bytes.empty() || sendAll(stream.socket, bytes.data(), static_cast<int>(bytes.size())) ==
                                static_cast<int>(bytes.size());
}

// Receives once into the session; false at the end of the stream or on an error.
static bool receiveIntoSession(ServerStream& stream) {
    char block[16384];
    int n = receiveSome(stream.socket, block, sizeof block);
    if (n <= 0) return false;
    BIO_write(stream.received, block, n);
    return true;
}

// The server side of the handshake; false when it failed or the server stops.
static bool acceptTls(TestServer& server, ServerStream& stream) {
    stream.ssl = SSL_new(static_cast<SSL_CTX*>(server.tlsContext));
    stream.received = BIO_new(BIO_s_mem());
    stream.outgoing = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(stream.received, -1);
    SSL_set_bio(stream.ssl, stream.received, stream.outgoing);
    SSL_set_accept_state(stream.ssl);
    for (;;) {
        ERR_clear_error();
        int result = SSL_do_handshake(stream.ssl);
        if (!sendProduced(stream)) return false;
        if (result == 1) return true;
        if (SSL_get_error(stream.ssl, result) != SSL_ERROR_WANT_READ) return false;
        int ready = 0;
        while (ready == 0 && !server.stopping.load())
            ready = waitReadable(stream.socket, POLL_MILLISECONDS);
        if (ready <= 0 || !receiveIntoSession(stream)) return false;
    }
}
#endif

// Received bytes (decrypted over TLS): the count, 0 when none arrived within a poll, -1 at the end
// of the stream.
static int receiveFromStream(ServerStream& stream, char* block, int size) {
#ifdef VEDO_TEST_TLS
    if (stream.ssl) {
        for (;;) {
            ERR_clear_error();
            int n = SSL_read(stream.ssl, block, size);
            sendProduced(stream);
            if (n > 0) return n;
            if (SSL_get_error(stream.ssl, n) != SSL_ERROR_WANT_READ) return -1;
            int ready = waitReadable(stream.socket, POLL_MILLISECONDS);
            if (ready <= 0) return ready;
            if (!receiveIntoSession(stream)) return -1;
        }
    }
#endif
    int ready = waitReadable(stream.socket, POLL_MILLISECONDS);
    if (ready <= 0) return ready;
    int n = receiveSome(stream.socket, block, size);
    return n > 0 ? n : -1;
}

// Ends a TLS session with close_notify; nothing for plain connections.
static void endStream(ServerStream& stream, bool notify) {
#ifdef VEDO_TEST_TLS
    if (!stream.ssl) return;
    if (notify) {
        SSL_shutdown(stream.ssl);
        sendProduced(stream);
    }
    SSL_free(stream.ssl);
    stream.ssl = nullptr;
#else
    (void)stream;
    (void)notify;
#endif
}

static bool containsIgnoreCase(const std::string& text, const char* needle) {
    size_t n = std::strlen(needle);
    if (text.size() < n) return false;
    for (size_t i = 0; i + n <= text.size(); i++) {
        size_t j = 0;
        while (j < n && std::tolower(static_cast<unsigned char>(text[i + j])) ==
                            std::tolower(static_cast<unsigned char>(needle[j]))) {
            j++;
        }
        if (j == n) return true;
    }
    return false;
}

std::string okReply(const std::string& body, const std::string& extraHeaders) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders +
           "\r\n" + body;
}

std::string rawReply(const std::string& statusLine, const std::string& headers, const std::string& body) {
    return statusLine + "\r\n" + headers + "\r\n" + body;
}

std::string chunkedBody(const std::string& body, int chunkSize) {
    std::string out;
    char sizeLine[32];
    for (size_t at = 0; at < body.size(); at += static_cast<size_t>(chunkSize)) {
        size_t n = body.size() - at < static_cast<size_t>(chunkSize) ? body.size() - at
                                                                     : static_cast<size_t>(chunkSize);
        std::snprintf(sizeLine, sizeof sizeLine, "%zx\r\n", n);
        out += sizeLine;
        out.append(body, at, n);
        out += "\r\n";
    }
    out += "0\r\n\r\n";
    return out;
}

std::string jpegBody(size_t size, unsigned seed) {
    std::string body(size, '\0');
    uint32_t state = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; i++) {
        state = state * 1664525u + 1013904223u;
        body[i] = static_cast<char>(state >> 24);
    }
    if (size > 0) body[0] = static_cast<char>(0xFF);
    if (size > 1) body[1] = static_cast<char>(0xD8);
    return body;
}

std::string serverUrl(const TestServer& server, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(server.port) + path;
}

std::string serverHttpsUrl(const TestServer& server, const std::string& path) {
    return "https://127.0.0.1:" + std::to_string(server.port) + path;
}

void setStallTlsHandshake(TestServer& server, bool stall) {
    std::lock_guard<std::mutex> lock(server.mutex);
    server.stallTlsHandshake = stall;
}

void addReply(TestServer& server, const TestReply& reply) {
    std::lock_guard<std::mutex> lock(server.mutex);
    server.script.push_back(reply);
}

void addReply(TestServer& server, const std::string& bytes) {
    TestReply reply;
    reply.bytes = bytes;
    addReply(server, reply);
}

void serveResource(TestServer& server, const std::string& path, const std::string& body) {
    std::lock_guard<std::mutex> lock(server.mutex);
    server.resources[path] = body;
}

void serveRedirect(TestServer& server, const std::string& path, const std::string& location) {
    std::lock_guard<std::mutex> lock(server.mutex);
    server.redirects[path] = location;
}

// The 302 for a redirected path; false when the path is not redirected.
static bool redirectReply(TestServer& server, const std::string& path, bool closeWanted, TestReply* reply) {
    std::string location;
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        auto hit = server.redirects.find(path);
        if (hit == server.redirects.end()) return false;
        location = hit->second;
    }
    reply->bytes = rawReply("HTTP/1.1 302 Found",
                            "Location: " + location + "\r\nContent-Length: 0\r\n" +
                                (closeWanted ? "Connection: close\r\n" : "Connection: keep-alive\r\n"));
    reply->closeAfterReply = closeWanted;
    return true;
}

void serveFolder(TestServer& server, const std::string& folder) {
    std::lock_guard<std::mutex> lock(server.mutex);
    server.folder = folder;
}

void setFraming(TestServer& server, BodyFraming framing) {
    std::lock_guard<std::mutex> lock(server.mutex);
    server.framing = framing;
}

void setReplyDelay(TestServer& server, int maxMilliseconds) {
    std::lock_guard<std::mutex> lock(server.mutex);
    server.maxReplyDelay = maxMilliseconds > 0 ? maxMilliseconds : 0;
}

void holdPath(TestServer& server, const std::string& path, bool hold) {
    std::lock_guard<std::mutex> lock(server.mutex);
    server.held[path] = hold ? 1 : 0;
}

static bool isHeld(TestServer& server, const std::string& request) {
    size_t start = request.find(' ');
    size_t end = start == std::string::npos ? std::string::npos : request.find(' ', start + 1);
    if (end == std::string::npos) return false;
    std::lock_guard<std::mutex> lock(server.mutex);
    auto hit = server.held.find(request.substr(start + 1, end - start - 1));
    return hit != server.held.end() && hit->second;
}

int peakAnswering(TestServer& server) {
    std::lock_guard<std::mutex> lock(server.mutex);
    return server.peakAnswering;
}

// Counts a request as being answered; returns the delay to wait before its reply.
static int beginAnswer(TestServer& server, bool scripted) {
    std::lock_guard<std::mutex> lock(server.mutex);
    server.answering++;
    if (server.answering > server.peakAnswering) server.peakAnswering = server.answering;
    if (scripted || server.maxReplyDelay <= 0) return 0;
    server.delaySeed = server.delaySeed * 1664525u + 1013904223u;
    return static_cast<int>((server.delaySeed >> 16) % static_cast<unsigned>(server.maxReplyDelay + 1));
}

static void endAnswer(TestServer& server) {
    std::lock_guard<std::mutex> lock(server.mutex);
    server.answering--;
}

int connectionCount(TestServer& server) {
    std::lock_guard<std::mutex> lock(server.mutex);
    return server.connections;
}

std::vector<LoggedRequest> receivedRequests(TestServer& server) {
    std::lock_guard<std::mutex> lock(server.mutex);
    return server.requests;
}

static bool readFileBytes(const std::string& path, std::string* bytes) {
    FILE* f = openFile(path.c_str(), "rb");
    if (!f) return false;
    char block[65536];
    size_t n;
    bytes->clear();
    while ((n = std::fread(block, 1, sizeof block, f)) > 0)
        bytes->append(block, n);
    std::fclose(f);
    return true;
}

// The reply to a request that the script does not answer.
static TestReply servedReply(TestServer& server, const std::string& request) {
    TestReply reply;
    size_t pathStart = request.find(' ');
    size_t pathEnd = pathStart == std::string::npos ? std::string::npos : request.find(' ', pathStart + 1);
    std::string path =
        pathEnd == std::string::npos ? std::string() : request.substr(pathStart + 1, pathEnd - pathStart - 1);
    bool closeWanted = containsIgnoreCase(request, "\r\nConnection: close") ||
                       (containsIgnoreCase(request, " HTTP/1.0\r\n") &&
                        !containsIgnoreCase(request, "\r\nConnection: keep-alive"));

    if (redirectReply(server, path, closeWanted, &reply)) return reply;
    std::string body;
    bool found = false;
    BodyFraming framing;
    int chunkSize;
    std::string folder;
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        framing = server.framing;
        chunkSize = server.chunkSize;
        folder = server.folder;
        auto hit = server.resources.find(path);
        if (hit != server.resources.end()) {
            body = hit->second;
            found = true;
        }
    }
    if (!found && !folder.empty() && path.size() > 1 && path[0] == '/') {
        std::string name = path.substr(1);
        size_t query = name.find_first_of("?#");
        if (query != std::string::npos) name.resize(query);
        if (name.find("..") == std::string::npos && name.find('\\') == std::string::npos && !name.empty()) {
            for (char& c : name) {
                if (c == '/') c = PATH_SEPARATOR;
            }
            found = readFileBytes(folder + PATH_SEPARATOR + name, &body);
        }
    }
    std::string connection = closeWanted ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    if (!found) {
        reply.bytes = rawReply("HTTP/1.1 404 Not Found", "Content-Length: 9\r\n" + connection, "not found");
        reply.closeAfterReply = closeWanted;
        return reply;
    }
    switch (framing) {
    case BodyFraming::CONTENT_LENGTH:
        reply.bytes = okReply(body, connection);
        reply.closeAfterReply = closeWanted;
        break;
    case BodyFraming::CHUNKED:
        reply.bytes = rawReply("HTTP/1.1 200 OK", "Transfer-Encoding: chunked\r\n" + connection,
                               chunkedBody(body, chunkSize));
        reply.closeAfterReply = closeWanted;
        break;
    case BodyFraming::CONNECTION_CLOSE:
        reply.bytes = rawReply("HTTP/1.1 200 OK", "Connection: close\r\n", body);
        reply.closeAfterReply = true;
        break;
    }
    return reply;
}

static bool sendPiece(TestServer& server, ServerStream& stream, const char* data, size_t length, bool last) {
    if (length == 0) return true;
#ifdef VEDO_TEST_TLS
    if (stream.ssl) {
        ERR_clear_error();
        if (SSL_write(stream.ssl, data, static_cast<int>(length)) != static_cast<int>(length)) return false;
        bool ticket;
        {
            std::lock_guard<std::mutex> lock(server.mutex);
            ticket = server.ticketAfterReply;
        }
        if (last && ticket && SSL_version(stream.ssl) == TLS1_3_VERSION) {
            SSL_new_session_ticket(stream.ssl);
            SSL_do_handshake(stream.ssl);
            ERR_clear_error();
        }
        return sendProduced(stream);
    }
#else
    (void)server;
    (void)last;
#endif
    return sendAll(stream.socket, data, static_cast<int>(length)) == static_cast<int>(length);
}

// Encrypts the whole reply and sends only the first `limit` encrypted bytes.
static void sendCutRecord(ServerStream& stream, const TestReply& reply) {
#ifdef VEDO_TEST_TLS
    if (!stream.ssl || reply.bytes.empty()) return;
    SSL_write(stream.ssl, reply.bytes.data(), static_cast<int>(reply.bytes.size()));
    std::string encrypted = takeProduced(stream);
    size_t limit = static_cast<size_t>(reply.closeAfterEncryptedBytes);
    if (limit > encrypted.size()) limit = encrypted.size();
    if (limit > 0) sendAll(stream.socket, encrypted.data(), static_cast<int>(limit));
#else
    (void)stream;
    (void)reply;
#endif
}

// Sends a reply; returns false when the connection is to be closed. *notify tells whether a TLS
// connection ends with close_notify.
static bool sendReply(TestServer& server, ServerStream& stream, const TestReply& reply, bool* notify) {
    *notify = false;
    if (reply.closeAfterEncryptedBytes >= 0) {
        sendCutRecord(stream, reply);
        return false;
    }
    size_t total = reply.bytes.size();
    size_t limit = total;
    if (reply.closeAfterBytes >= 0 && static_cast<size_t>(reply.closeAfterBytes) < total) {
        limit = static_cast<size_t>(reply.closeAfterBytes);
    }
    size_t piece = reply.pieceSize > 0 ? static_cast<size_t>(reply.pieceSize) : (limit > 0 ? limit : 1);
    for (size_t at = 0; at < limit; at += piece) {
        if (server.stopping.load()) return false;
        size_t n = limit - at < piece ? limit - at : piece;
        if (!sendPiece(server, stream, reply.bytes.data() + at, n, at + n >= limit)) return false;
        if (reply.pauseMilliseconds > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(reply.pauseMilliseconds));
        }
    }
    if (reply.closeAfterBytes >= 0 || reply.closeWithoutNotify) return false;
    *notify = reply.closeAfterReply;
    return !reply.closeAfterReply;
}

// Holds a connection without answering until the client gives up or the server stops.
static void holdConnection(TestServer& server, SocketHandle socket) {
    char block[4096];
    while (!server.stopping.load()) {
        int r = waitReadable(socket, POLL_MILLISECONDS);
        if (r < 0) break;
        if (r > 0 && receiveSome(socket, block, sizeof block) <= 0) break;
    }
}

static void serveConnection(TestServer& server, SocketHandle socket, int number) {
    ServerStream stream;
    stream.socket = socket;
#ifdef VEDO_TEST_TLS
    if (server.tlsContext) {
        bool stall;
        {
            std::lock_guard<std::mutex> lock(server.mutex);
            stall = server.stallTlsHandshake;
        }
        if (stall) {
            holdConnection(server, socket);
            return;
        }
        if (!acceptTls(server, stream)) {
            endStream(stream, false);
            return;
        }
    }
#endif
    std::string pending;
    char block[65536];
    bool open = true;
    bool notify = false;
    while (open && !server.stopping.load()) {
        int n = receiveFromStream(stream, block, sizeof block);
        if (n == 0) continue;
        if (n < 0) break;
        pending.append(block, static_cast<size_t>(n));
        size_t end;
        while (open && (end = pending.find("\r\n\r\n")) != std::string::npos) {
            std::string request = pending.substr(0, end + 4);
            pending.erase(0, end + 4);
            TestReply reply;
            bool scripted = false;
            {
                std::lock_guard<std::mutex> lock(server.mutex);
                server.requests.push_back(LoggedRequest{number, request});
                if (!server.script.empty()) {
                    reply = server.script.front();
                    server.script.pop_front();
                    scripted = true;
                }
            }
            if (!scripted) {
                while (isHeld(server, request) && !server.stopping.load())
                    std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MILLISECONDS));
                reply = servedReply(server, request);
            }
            // A request counts as answered from its arrival until its reply starts: the client may
            // send its next one as soon as the reply is complete.
            int delay = beginAnswer(server, scripted);
            if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            endAnswer(server);
            if (reply.neverAnswer) {
                holdConnection(server, socket);
                open = false;
                break;
            }
            open = sendReply(server, stream, reply, &notify);
        }
    }
    endStream(stream, notify);
}

constexpr int SERVER_SEND_TIMEOUT_MS = 5000;

void setConnectionLimit(TestServer& server, int limit, LimitAnswer answer, const std::string& retryAfter) {
    std::lock_guard<std::mutex> lock(server.mutex);
    server.connectionLimit = limit > 0 ? limit : 0;
    server.limitAnswer = answer;
    server.limitRetryAfter = retryAfter;
}

int limitRefusals(TestServer& server) {
    std::lock_guard<std::mutex> lock(server.mutex);
    return server.limitRefusals;
}

// Closes a connection with a reset instead of an orderly end.
static void resetSocket(SocketHandle socket) {
    struct linger option;
    option.l_onoff = 1;
    option.l_linger = 0;
#ifdef _WIN32
    setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
               sizeof option);
#else
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &option, sizeof option);
#endif
    closeSocket(socket);
}

// A connection beyond the limit: reads its request (for a while) and answers with the busy status.
static void answerBusy(TestServer& server, SocketHandle socket, LimitAnswer answer,
                       const std::string& retryAfter) {
    std::string request;
    char block[4096];
    for (int polls = 0;
         polls < 100 && request.find("\r\n\r\n") == std::string::npos && !server.stopping.load(); polls++) {
        int ready = waitReadable(socket, POLL_MILLISECONDS);
        if (ready < 0) return;
        if (ready == 0) continue;
        int n = receiveSome(socket, block, sizeof block);
        if (n <= 0) return;
        request.append(block, static_cast<size_t>(n));
    }
    std::string status = answer == LimitAnswer::STATUS_429 ? "HTTP/1.1 429 Too Many Requests"
                                                           : "HTTP/1.1 503 Service Temporarily Unavailable";
    std::string headers = "Content-Length: 4\r\nConnection: close\r\n";
    if (!retryAfter.empty()) headers += "Retry-After: " + retryAfter + "\r\n";
    std::string reply = rawReply(status, headers, "busy");
    sendAll(socket, reply.data(), static_cast<int>(reply.size()));
}

static void acceptLoop(TestServer& server) {
    while (!server.stopping.load()) {
        SocketHandle accepted = acceptConnection(server.listener, POLL_MILLISECONDS);
        if (accepted == NO_SOCKET) continue;
        // A client that stops reading (it refused the answer and closed) must not hold a send
        // forever: under Wine a blocking send to a closed peer never returns by itself.
        setSocketTimeouts(accepted, SERVER_SEND_TIMEOUT_MS);
        std::lock_guard<std::mutex> lock(server.mutex);
        if (server.connectionLimit > 0 && server.served >= server.connectionLimit) {
            server.limitRefusals++;
            LimitAnswer answer = server.limitAnswer;
            if (answer == LimitAnswer::RESET) {
                resetSocket(accepted);
                continue;
            }
            if (answer == LimitAnswer::REFUSE) {
                shutdownSocket(accepted);
                closeSocket(accepted);
                continue;
            }
            std::unique_ptr<TestServerConnection> busy(new TestServerConnection);
            busy->socket = accepted;
            std::string retryAfter = server.limitRetryAfter;
            busy->thread = std::thread([&server, accepted, answer, retryAfter]() {
                answerBusy(server, accepted, answer, retryAfter);
                shutdownSocket(accepted);
            });
            server.open.push_back(std::move(busy));
            continue;
        }
        server.served++;
        int number = ++server.connections;
        std::unique_ptr<TestServerConnection> connection(new TestServerConnection);
        connection->socket = accepted;
        connection->thread = std::thread([&server, accepted, number]() {
            serveConnection(server, accepted, number);
            {
                std::lock_guard<std::mutex> served(server.mutex);
                server.served--;
            }
            // Ending both directions now lets the client see the end of the stream at once; the
            // socket itself is released when the server stops.
            shutdownSocket(accepted);
        });
        server.open.push_back(std::move(connection));
    }
}

int startTestServer(TestServer& server) {
    if (!startSockets()) return 0;
    server.stopping.store(false);
    server.listener = listenOnLoopback(0, 64, &server.port);
    if (server.listener == NO_SOCKET) return 0;
    server.acceptThread = std::thread([&server]() { acceptLoop(server); });
    return 1;
}

int startTlsTestServer(TestServer& server, const std::string& certFile, const std::string& keyFile) {
#ifdef VEDO_TEST_TLS
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context) return 0;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context, server.tlsMaxVersion);
    if (SSL_CTX_use_certificate_chain_file(context, certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        ERR_clear_error();
        SSL_CTX_free(context);
        return 0;
    }
    if (server.tlsContext) SSL_CTX_free(static_cast<SSL_CTX*>(server.tlsContext));
    server.tlsContext = context;
    return startTestServer(server);
#else
    (void)server;
    (void)certFile;
    (void)keyFile;
    return 0;
#endif
}

void stopTestServer(TestServer& server) {
    server.stopping.store(true);
    if (server.acceptThread.joinable()) server.acceptThread.join();
    if (server.listener != NO_SOCKET) {
        closeSocket(server.listener);
        server.listener = NO_SOCKET;
    }
    std::vector<std::unique_ptr<TestServerConnection>> connections;
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        connections.swap(server.open);
    }
    for (auto& connection : connections) {
        if (connection->thread.joinable()) connection->thread.join();
        closeSocket(connection->socket);
    }
}
