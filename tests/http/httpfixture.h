// Common ground of the network tests: loopback only, an empty pool, and time-outs that a busy
// machine never reaches. The tests of the time-outs themselves shorten them in a fixture of their
// own (ShortTimeOuts).
#pragma once
#include "http/connectiontest.h"
#include "support/testfiles.h"
#include "tools/support/testserver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

constexpr int TEST_CONNECT_TIMEOUT_MS = 10000;
constexpr int TEST_IO_TIMEOUT_MS = 15000;
constexpr int SHORT_CONNECT_TIMEOUT_MS = 400;
constexpr int SHORT_IO_TIMEOUT_MS = 400;

struct NetworkTest : ::testing::Test {
    TestServer server;
    std::string folder;
    int connectTimeoutMs = TEST_CONNECT_TIMEOUT_MS;
    int ioTimeoutMs = TEST_IO_TIMEOUT_MS;

    void SetUp() override {
        initConnectionPool();
        setLoopbackOnly(1);
        setConnectionTimeouts(connectTimeoutMs, ioTimeoutMs);
        closeAllPooledSockets();
        resetConnectFailures();
        clearConnectOverrides();
        ASSERT_EQ(startTestServer(server), 1);
        folder = makeTempDir("http");
    }

    void TearDown() override {
        setTransferStopFlag(nullptr);
        setLowSpeedLimit(0, 0);
        closeAllPooledSockets();
        stopTestServer(server);
        clearConnectOverrides();
        resetConnectFailures();
        removeTree(folder);
    }

    std::string url(const std::string& path) const { return serverUrl(server, path); }
    std::string file(const std::string& name) const { return joinPath(folder, name); }
};

// Mixed into a fixture of the time-out tests: the short time-outs they measure.
template <typename Fixture> struct ShortTimeOuts : Fixture {
    ShortTimeOuts() {
        this->connectTimeoutMs = SHORT_CONNECT_TIMEOUT_MS;
        this->ioTimeoutMs = SHORT_IO_TIMEOUT_MS;
    }
};

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
