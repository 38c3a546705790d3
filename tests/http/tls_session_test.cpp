// TLS client sessions against a small OpenSSL server on a thread of the test: the bytes of a
// whole answer, the certificate checks with their reasons, and the ends of a stream. The session
// is driven the way the HTTP code drives it: one step at a time, waiting for the socket only
// between steps.
#include "core/scope.h"
#include "platform/sockets.h"
#include "platform/tls.h"
#include "support/testfiles.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

constexpr int WAIT_MS = 15000;

enum ServerPlay {
    PLAY_ANSWER,        // reads the request, answers with `body`, then close_notify
    PLAY_SPEAK_FIRST,   // sends `body` right after its Finished message, then close_notify
    PLAY_CUT_IN_RECORD, // sends `body` as one record but only its first half, then closes
    PLAY_CLOSE_BARE,    // sends `body`, then closes without close_notify
    PLAY_HANDSHAKE_ONLY // shakes hands (or fails to) and closes
};

std::string certificatePath(const std::string& name) {
    return std::string(VEDO_TEST_CERT_DIR) + "/" + name;
}

struct TinyTlsServer {
    SocketHandle listener = NO_SOCKET;
    uint16_t port = 0;
    std::thread thread;

    void start(const std::string& certificate, ServerPlay play, std::string body) {
        ASSERT_EQ(startSockets(), 1);
        listener = listenOnLoopback(0, 4, &port);
        ASSERT_NE(listener, NO_SOCKET);
        thread = std::thread([this, certificate, play, body] { serve(certificate, play, body); });
    }

    void serve(const std::string& certificate, ServerPlay play, const std::string& body) {
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        auto freeContext = onScopeExit([&] { SSL_CTX_free(context); });
        SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
        if (SSL_CTX_use_certificate_chain_file(context, certificatePath(certificate + ".pem").c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(context, certificatePath(certificate + ".key").c_str(),
                                        SSL_FILETYPE_PEM) != 1) {
            return;
        }
        SocketGuard socket(acceptConnection(listener, WAIT_MS));
        if (socket.socket == NO_SOCKET) return;
        setSocketTimeouts(socket.socket, WAIT_MS);
        SSL* ssl = SSL_new(context);
        auto freeSsl = onScopeExit([&] { SSL_free(ssl); });
        SSL_set_fd(ssl, static_cast<int>(socket.socket));
        if (SSL_accept(ssl) != 1 || play == PLAY_HANDSHAKE_ONLY) return;
        if (play == PLAY_ANSWER) {
            std::string request;
            char buffer[1024];
            while (request.find("\r\n\r\n") == std::string::npos) {
                int got = SSL_read(ssl, buffer, sizeof buffer);
                if (got <= 0) return;
                request.append(buffer, static_cast<size_t>(got));
            }
        }
        if (play == PLAY_CUT_IN_RECORD) {
            // The record goes to memory first, so that only part of it reaches the socket.
            BIO* memory = BIO_new(BIO_s_mem());
            SSL_set0_wbio(ssl, memory);
            SSL_write(ssl, body.data(), static_cast<int>(body.size()));
            char* encrypted = nullptr;
            long length = BIO_get_mem_data(memory, &encrypted);
            sendAll(socket.socket, encrypted, static_cast<int>(length / 2));
            return;
        }
        size_t sent = 0;
        while (sent < body.size()) {
            int wrote = SSL_write(ssl, body.data() + sent, static_cast<int>(body.size() - sent));
            if (wrote <= 0) return;
            sent += static_cast<size_t>(wrote);
        }
        if (play != PLAY_CLOSE_BARE) SSL_shutdown(ssl);
    }

    void stop() {
        if (thread.joinable()) thread.join();
        if (listener != NO_SOCKET) closeSocket(listener);
        listener = NO_SOCKET;
    }

    ~TinyTlsServer() { stop(); }
};

struct Client {
    SocketHandle socket = NO_SOCKET;
    TlsSession* session = nullptr;
    int reason = TLS_REASON_NONE;
    char detail[TLS_DETAIL_SIZE] = {};

    ~Client() {
        if (session) tlsFreeSession(session);
        if (socket != NO_SOCKET) closeSocket(socket);
    }

    // Connects to the server's port and runs the handshake to its end.
    int handshake(const char* host, uint16_t port) {
        socket = createTcpSocket();
        uint32_t address = 0;
        parseIpv4Address("127.0.0.1", &address);
        int error = 0;
        if (startConnect(socket, address, port, &error) != 1) return TLS_FAILED;
        setSocketTimeouts(socket, WAIT_MS);
        session = tlsCreateSession(socket, host);
        if (!session) return TLS_FAILED;
        int readable = 0;
        for (;;) {
            int result = tlsHandshake(session, readable, &reason, detail);
            if (result != TLS_WANT_READ) return result;
            readable = waitReadable(socket, WAIT_MS);
            if (readable <= 0) return TLS_WANT_READ;
        }
    }

    // Everything until the stream ends; the last result (TLS_CLOSED, TLS_FAILED or a stall's
    // TLS_WANT_READ) goes to *end.
    std::string receiveAll(int* end) {
        std::string received;
        char buffer[3000];
        int readable = 0;
        for (;;) {
            int got = tlsReceive(session, buffer, sizeof buffer, readable);
            if (got > 0) {
                received.append(buffer, static_cast<size_t>(got));
                readable = 0;
                continue;
            }
            if (got != TLS_WANT_READ) {
                *end = got;
                return received;
            }
            if (tlsPending(session)) {
                readable = 0;
                continue;
            }
            readable = waitReadable(socket, WAIT_MS);
            if (readable <= 0) {
                *end = TLS_WANT_READ;
                return received;
            }
        }
    }
};

std::string patternBody(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; i++)
        body[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return body;
}

struct TlsSessionTest : ::testing::Test {
    void SetUp() override {
        char detail[TLS_DETAIL_SIZE] = {};
        ASSERT_EQ(tlsConfigureTrust(certificatePath("ca.pem").c_str(), detail), 1) << detail;
    }
    void TearDown() override {
        char detail[TLS_DETAIL_SIZE] = {};
        tlsConfigureTrust(nullptr, detail);
    }
};

} // namespace

// A request and an answer of many records, over a name and over the address; and bytes the server
// sends in the same breath as the end of its handshake: nothing is lost, and the close_notify ends
// the stream.
TEST_F(TlsSessionTest, EveryByteOfTheAnswerArrivesAndCloseNotifyEndsTheStream) {
    const std::string body = patternBody(200000);
    for (const char* host : {"localhost", "127.0.0.1", "img.example.test"}) {
        SCOPED_TRACE(host);
        TinyTlsServer server;
        server.start("server", PLAY_ANSWER, body);
        Client client;
        ASSERT_EQ(client.handshake(host, server.port), TLS_DONE) << client.detail;
        std::string request = std::string("GET / HTTP/1.1\r\nHost: ") + host + "\r\n\r\n";
        ASSERT_EQ(tlsSend(client.session, request.data(), static_cast<int>(request.size())),
                  static_cast<int>(request.size()));
        int end = 0;
        std::string received = client.receiveAll(&end);
        EXPECT_EQ(end, TLS_CLOSED);
        EXPECT_TRUE(received == body) << received.size() << " bytes of " << body.size();
    }
    for (size_t size : {size_t{1}, size_t{700}, size_t{40000}}) {
        SCOPED_TRACE(size);
        const std::string early = patternBody(size);
        TinyTlsServer server;
        server.start("server", PLAY_SPEAK_FIRST, early);
        Client client;
        ASSERT_EQ(client.handshake("localhost", server.port), TLS_DONE) << client.detail;
        int end = 0;
        std::string received = client.receiveAll(&end);
        EXPECT_EQ(end, TLS_CLOSED);
        EXPECT_TRUE(received == early) << received.size() << " bytes of " << early.size();
    }
}

// A certificate for another name, from an unknown CA, out of date, or from the test CA while only
// the system's roots are trusted: the handshake fails with the reason and a detail.
TEST_F(TlsSessionTest, ACertificateThatFailsNamesItsReason) {
    struct Case {
        const char* certificate;
        const char* host;
        bool trustTestCa;
        int reason;
    };
    const Case cases[] = {
        {"othername", "localhost", true, TLS_REASON_WRONG_NAME},
        {"othername", "127.0.0.1", true, TLS_REASON_WRONG_NAME},
        {"server", "elsewhere.test", true, TLS_REASON_WRONG_NAME},
        {"unknownca", "localhost", true, TLS_REASON_UNKNOWN_ISSUER},
        {"expired", "localhost", true, TLS_REASON_EXPIRED},
        {"nosan", "localhost", true, TLS_REASON_WRONG_NAME},
        {"server", "localhost", false, TLS_REASON_UNKNOWN_ISSUER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.certificate) + " for " + c.host);
        char detail[TLS_DETAIL_SIZE] = {};
        ASSERT_EQ(tlsConfigureTrust(c.trustTestCa ? certificatePath("ca.pem").c_str() : nullptr, detail), 1);
        TinyTlsServer server;
        server.start(c.certificate, PLAY_HANDSHAKE_ONLY, "");
        Client client;
        EXPECT_EQ(client.handshake(c.host, server.port), TLS_FAILED);
        EXPECT_EQ(client.reason, c.reason) << client.detail;
        EXPECT_NE(client.detail[0], 0);
    }
}

// The stream's end: cut inside a record is a failure, a close between records without
// close_notify is told apart from an end with it, and a server that never answers leaves the handshake
// waiting without any call blocking.
TEST_F(TlsSessionTest, TheEndOfTheStreamIsReportedForWhatItIs) {
    const std::string body = patternBody(12000);
    {
        TinyTlsServer server;
        server.start("server", PLAY_CUT_IN_RECORD, body);
        Client client;
        ASSERT_EQ(client.handshake("localhost", server.port), TLS_DONE) << client.detail;
        int end = 0;
        std::string received = client.receiveAll(&end);
        EXPECT_EQ(end, TLS_FAILED);
        EXPECT_TRUE(received.empty());
    }
    {
        TinyTlsServer server;
        server.start("server", PLAY_CLOSE_BARE, body);
        Client client;
        ASSERT_EQ(client.handshake("localhost", server.port), TLS_DONE) << client.detail;
        int end = 0;
        std::string received = client.receiveAll(&end);
        EXPECT_EQ(end, TLS_TRUNCATED);
        EXPECT_TRUE(received == body);
    }
    {
        uint16_t port = 0;
        SocketGuard silent(listenOnLoopback(0, 4, &port));
        ASSERT_NE(silent.socket, NO_SOCKET);
        SocketGuard socket(createTcpSocket());
        uint32_t address = 0;
        parseIpv4Address("127.0.0.1", &address);
        int error = 0;
        ASSERT_EQ(startConnect(socket.socket, address, port, &error), 1);
        TlsSession* session = tlsCreateSession(socket.socket, "localhost");
        ASSERT_NE(session, nullptr);
        int reason = 0;
        char detail[TLS_DETAIL_SIZE] = {};
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(tlsHandshake(session, 0, &reason, detail), TLS_WANT_READ);
        EXPECT_EQ(tlsHandshake(session, 0, &reason, detail), TLS_WANT_READ);
        EXPECT_EQ(tlsPending(session), 0);
        EXPECT_EQ(waitReadable(socket.socket, 300), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(WAIT_MS));
        tlsFreeSession(session);
    }
}

// A CA file that cannot be read or holds no certificate is refused with a reason, and the roots
// stay usable.
TEST_F(TlsSessionTest, AnExtraCaFileWithoutCertificatesIsRefused) {
    std::string folder = makeTempDir("tlstrust");
    auto removeFolder = onScopeExit([&] { removeTree(folder); });
    std::string empty = joinPath(folder, "empty.pem");
    writeWholeFile(empty, "no certificate here\n");
    char detail[TLS_DETAIL_SIZE] = {};
    EXPECT_EQ(tlsConfigureTrust(joinPath(folder, "missing.pem").c_str(), detail), 0);
    EXPECT_NE(detail[0], 0);
    detail[0] = 0;
    EXPECT_EQ(tlsConfigureTrust(empty.c_str(), detail), 0);
    EXPECT_NE(detail[0], 0);
}
