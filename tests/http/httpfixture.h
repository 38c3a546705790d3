// Common ground of the network tests: loopback only, short time-outs, an empty pool.
#pragma once
#include "http/connection.h"
#include "support/testfiles.h"
#include "support/testserver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

constexpr int TEST_CONNECT_TIMEOUT_MS = 400;
constexpr int TEST_IO_TIMEOUT_MS = 400;

struct NetworkTest : ::testing::Test {
    TestServer server;
    std::string folder;

    void SetUp() override {
        initConnectionPool();
        setLoopbackOnly(1);
        setConnectionTimeouts(TEST_CONNECT_TIMEOUT_MS, TEST_IO_TIMEOUT_MS);
        closeAllPooledSockets();
        resetConnectFailures();
        clearConnectOverrides();
        ASSERT_EQ(startTestServer(server), 1);
        folder = makeTempDir("http");
    }

    void TearDown() override {
        closeAllPooledSockets();
        stopTestServer(server);
        clearConnectOverrides();
        resetConnectFailures();
        removeTree(folder);
    }

    std::string url(const std::string& path) const { return serverUrl(server, path); }
    std::string file(const std::string& name) const { return joinPath(folder, name); }
};

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
