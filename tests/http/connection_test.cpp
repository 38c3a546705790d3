// Tests of connecting: the failure limit, time-outs, the keep-alive pool and the overrides.
#include "http/connectiontest.h"

#include "core/scope.h"
#include "http/download.h"
#include "httpfixture.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

struct ConnectionTest : NetworkTest {
    char errorText[ERROR_TEXT_SIZE];

    SocketHandle open(const char* host, int port) {
        std::memset(errorText, 0, sizeof errorText);
        return openSocket(host, port, errorText);
    }
    // Failure texts are engine text; the tests compare them in UTF-8.
    std::string error() const { return engineToUtf8(errorText); }
};

struct ConnectionTimeOutTest : ShortTimeOuts<ConnectionTest> {};

// A loopback port with nothing listening on it.
uint16_t closedPort() {
    uint16_t port = 0;
    SocketHandle probe = listenOnLoopback(0, 1, &port);
    closeSocket(probe);
    return port;
}

TEST_F(ConnectionTest, RefusedConnectsCountUpToTheLimitAndThenFailAtOnce) {
    uint16_t port = closedPort();
    for (int i = 1; i <= MAX_CONNECT_FAILURES; i++) {
        EXPECT_EQ(open("127.0.0.1", port), NO_SOCKET);
        EXPECT_EQ(error().rfind("使用非阻塞方式连接发生错误，错误码:", 0), 0u) << error();
        EXPECT_EQ(connectFailureCount("127.0.0.1", port), i);
    }
    // Now refused without a connect: even a server that has come back is not tried.
    SocketHandle listener = listenOnLoopback(port, 8, nullptr);
    ASSERT_NE(listener, NO_SOCKET);
    EXPECT_EQ(open("127.0.0.1", port), NO_SOCKET);
    EXPECT_EQ(error(), "127.0.0.1:" + std::to_string(port) + " - 连接失败已连续发生5次+");
    EXPECT_EQ(connectFailureCount("127.0.0.1", port), MAX_CONNECT_FAILURES);

    resetConnectFailures();
    EXPECT_EQ(connectFailureCount("127.0.0.1", port), 0);
    SocketHandle socket = open("127.0.0.1", port);
    EXPECT_NE(socket, NO_SOCKET) << error();
    closeSocket(socket);
    closeSocket(listener);
}

// The switch gives 1 on success, as the other socket calls do; the connect relies on it.
TEST_F(ConnectionTest, BlockingModeSwitchGivesOneOnSuccess) {
    SocketGuard socket(createTcpSocket());
    ASSERT_NE(socket.socket, NO_SOCKET);
    EXPECT_EQ(setSocketNonBlocking(socket.socket, 1), 1);
    EXPECT_EQ(setSocketNonBlocking(socket.socket, 0), 1);
}

TEST_F(ConnectionTest, SuccessfulConnectClearsTheCount) {
    uint16_t port = closedPort();
    for (int i = 0; i < MAX_CONNECT_FAILURES - 1; i++)
        EXPECT_EQ(open("127.0.0.1", port), NO_SOCKET);
    EXPECT_EQ(connectFailureCount("127.0.0.1", port), MAX_CONNECT_FAILURES - 1);
    SocketHandle listener = listenOnLoopback(port, 8, nullptr);
    ASSERT_NE(listener, NO_SOCKET);
    SocketHandle socket = open("127.0.0.1", port);
    ASSERT_NE(socket, NO_SOCKET) << error();
    EXPECT_EQ(connectFailureCount("127.0.0.1", port), 0);
    closeSocket(socket);
    closeSocket(listener);
    // Counting starts again from zero.
    EXPECT_EQ(open("127.0.0.1", port), NO_SOCKET);
    EXPECT_EQ(connectFailureCount("127.0.0.1", port), 1);
}

TEST_F(ConnectionTest, FailuresThatAreNotCounted) {
    EXPECT_EQ(open(nullptr, 80), NO_SOCKET);
    EXPECT_EQ(error(), "域名 = null");
    for (int i = 0; i < MAX_CONNECT_FAILURES + 1; i++) {
        EXPECT_EQ(open("no-such-host.test", 80), NO_SOCKET);
        EXPECT_EQ(error(), "无法解析域名: no-such-host.test");
    }
    EXPECT_EQ(connectFailureCount("no-such-host.test", 80), 0);
    // Outside loopback nothing is ever connected to while tests run.
    EXPECT_EQ(open("10.1.2.3", 80), NO_SOCKET);
    EXPECT_EQ(error(), "无法解析域名: 10.1.2.3");
}

// A listener whose queue is full, so that a further connect is left waiting.
SocketHandle stalledListener(uint16_t* port, std::vector<SocketHandle>* fillers) {
    SocketHandle listener = listenOnLoopback(0, 0, port);
    if (listener == NO_SOCKET) return NO_SOCKET;
    for (int i = 0; i < 32; i++) {
        SocketHandle s = createTcpSocket();
        if (s == NO_SOCKET) break;
        setSocketNonBlocking(s, 1);
        int code = 0;
        uint32_t loopback = 0;
        parseIpv4Address("127.0.0.1", &loopback);
        int started = startConnect(s, loopback, *port, &code);
        int waited = started == 1 ? CONNECT_READY : waitForConnect(s, 150, &code);
        fillers->push_back(s);
        if (waited == CONNECT_TIMED_OUT) return listener;
    }
    closeSocket(listener);
    return NO_SOCKET;
}

TEST_F(ConnectionTimeOutTest, ConnectTimeOutIsCountedAndBounded) {
    uint16_t port = 0;
    std::vector<SocketHandle> fillers;
    SocketHandle listener = stalledListener(&port, &fillers);
    if (listener == NO_SOCKET) {
        for (SocketHandle s : fillers)
            closeSocket(s);
        GTEST_SKIP() << "this network stack completes every loopback connect";
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(open("127.0.0.1", port), NO_SOCKET);
    double elapsed = secondsSince(start);
    EXPECT_EQ(error(), "使用非阻塞方式连接超时。");
    EXPECT_EQ(connectFailureCount("127.0.0.1", port), 1);
    EXPECT_GE(elapsed, SHORT_CONNECT_TIMEOUT_MS / 1000.0 * 0.9);
    EXPECT_LT(elapsed, 3.0);
    for (SocketHandle s : fillers)
        closeSocket(s);
    closeSocket(listener);
}

TEST_F(ConnectionTest, PoolKeysAndReuse) {
    char text[ERROR_TEXT_SIZE] = {0};
    Connection* first = acquirePooledConnection("127.0.0.1", server.port, 0, text);
    ASSERT_NE(first, nullptr) << text;
    SocketHandle firstSocket = first->socket;
    // A connection in use is out of the pool: another user gets one of its own.
    Connection* second = acquirePooledConnection("127.0.0.1", server.port, 0, text);
    ASSERT_NE(second, nullptr) << text;
    EXPECT_NE(second->socket, firstSocket);
    EXPECT_EQ(pooledConnectionCount("127.0.0.1", server.port, 0), 0);
    releasePooledConnection(first, 1);
    releasePooledConnection(second, 1);
    EXPECT_EQ(pooledConnectionCount("127.0.0.1", server.port, 0), 2);
    // The scheme is part of the key.
    EXPECT_EQ(pooledConnectionCount("127.0.0.1", server.port, 1), 0);
    Connection* again = acquirePooledConnection("127.0.0.1", server.port, 0, text);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(pooledConnectionCount("127.0.0.1", server.port, 0), 1);
    // Another spelling of the same server is another key and another connection.
    Connection* byName = acquirePooledConnection("localhost", server.port, 0, text);
    Connection* byCapitals = acquirePooledConnection("LOCALHOST", server.port, 0, text);
    ASSERT_NE(byName, nullptr);
    ASSERT_NE(byCapitals, nullptr);
    releasePooledConnection(byName, 1);
    releasePooledConnection(byCapitals, 1);
    EXPECT_EQ(pooledConnectionCount("localhost", server.port, 0), 1);
    EXPECT_EQ(pooledConnectionCount("LOCALHOST", server.port, 0), 1);
    // Released without keeping, a connection is closed and not pooled.
    releasePooledConnection(again, 0);
    EXPECT_EQ(pooledConnectionCount("127.0.0.1", server.port, 0), 1);

    // A failed open leaves the pool alone and reports openSocket's text.
    std::memset(text, 0, sizeof text);
    EXPECT_EQ(acquirePooledConnection("127.0.0.1", closedPort(), 0, text), nullptr);
    EXPECT_EQ(engineToUtf8(text).rfind("使用非阻塞方式连接发生错误", 0), 0u);
    EXPECT_EQ(socketPool->count, 3);

    auto start = std::chrono::steady_clock::now();
    while (connectionCount(server) < 4 && secondsSince(start) < 2.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(connectionCount(server), 4);
}

TEST_F(ConnectionTest, OverrideTexts) {
    EXPECT_EQ(addConnectOverride("a.test:80:127.0.0.1:8080"), 1);
    EXPECT_EQ(addConnectOverride("a.test:81::8081"), 1);
    EXPECT_EQ(addConnectOverride("a.test:82:127.0.0.2:"), 1);
    const char* malformed[] = {"",
                               "a.test",
                               "a.test:80",
                               "a.test:80:127.0.0.1",
                               ":80:127.0.0.1:1",
                               "a.test::127.0.0.1:1",
                               "a.test:x:127.0.0.1:1",
                               "a.test:80:127.0.0.1:70000",
                               "a.test:0:127.0.0.1:1",
                               "a.test:80:127.0.0.1:-1"};
    for (const char* text : malformed)
        EXPECT_EQ(addConnectOverride(text), 0) << text;
    EXPECT_EQ(addConnectOverride(nullptr), 0);

    // The later entry wins; the failure count stays with the address's own server.
    uint16_t port = closedPort();
    ASSERT_EQ(addConnectOverride(("b.test:80:127.0.0.1:" + std::to_string(port)).c_str()), 1);
    ASSERT_EQ(addConnectOverride(("b.test:80:127.0.0.1:" + std::to_string(server.port)).c_str()), 1);
    SocketHandle socket = open("b.test", 80);
    EXPECT_NE(socket, NO_SOCKET) << error();
    closeSocket(socket);
    ASSERT_EQ(addConnectOverride(("b.test:80:127.0.0.1:" + std::to_string(port)).c_str()), 1);
    EXPECT_EQ(open("b.test", 80), NO_SOCKET);
    EXPECT_EQ(connectFailureCount("b.test", 80), 1);
    EXPECT_EQ(connectFailureCount("127.0.0.1", port), 0);
}

} // namespace
