// Running out of memory ends the program one way; the scope guards run, dismiss and release.
#include "core/allocate.h"
#include "core/appdir.h"
#include "core/applog.h"
#include "core/charset.h"
#include "core/scope.h"
#include "core/text.h"
#include "platform/sockets.h"
#include "support/testfiles.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

namespace {

// No allocator can give this much; volatile, so that the compiler does not refuse it first.
volatile size_t impossibleSize = SIZE_MAX;

// AddressSanitizer's allocator refuses an impossible size itself, with its own report, before the
// engine sees the failure; the program still ends.
#if defined(__SANITIZE_ADDRESS__)
const char* const FAILED_ALLOCATION_OUTPUT = "";
#else
const char* const FAILED_ALLOCATION_OUTPUT = "内存不足，程序无法继续运行。";
#endif

} // namespace

TEST(OutOfMemoryDeathTest, EveryFailedAllocationEndsTheProgramTheSameWay) {
    EXPECT_DEATH(outOfMemory(), "内存不足，程序无法继续运行。");
    EXPECT_DEATH(std::free(allocateBytes(impossibleSize)), FAILED_ALLOCATION_OUTPUT);
    EXPECT_DEATH(std::free(allocateZeroed(impossibleSize)), FAILED_ALLOCATION_OUTPUT);
    EXPECT_DEATH(std::free(reallocateBytes(allocateBytes(16), impossibleSize)), FAILED_ALLOCATION_OUTPUT);
    // operator new (the standard containers, std::string) ends the same way instead of throwing.
    EXPECT_DEATH(::operator delete(::operator new(impossibleSize)), FAILED_ALLOCATION_OUTPUT);
}

#ifndef _WIN32
// Windows runs a death test's statement in a new process that does not share this one's log.
TEST(OutOfMemoryDeathTest, WritesOneLineToTheLog) {
    std::string dir = makeTempDir("oom");
    std::string saved = appDir;
    copyBounded(appDir, sizeof appDir, dir.c_str());
    ASSERT_EQ(openLog(), 1);
    EXPECT_DEATH(outOfMemory(), "");
    std::string log = readWholeFile(joinPath(dir, "app.log"));
    std::fclose(logFile);
    logFile = nullptr;
    copyBounded(appDir, sizeof appDir, saved.c_str());
    removeTree(dir);
    std::string expected = std::string(programText("内存不足，程序无法继续运行。")) + "\r\n";
    ASSERT_GT(log.size(), expected.size());
    EXPECT_EQ(log.substr(log.size() - expected.size()), expected);
    EXPECT_EQ(log.find('\n'), log.size() - 1) << "one line";
}
#endif

TEST(ScopeGuards, RunOnLeavingTheScopeUnlessDismissedOrReleased) {
    int runs = 0;
    {
        auto guard = onScopeExit([&] { runs++; });
        EXPECT_EQ(runs, 0);
    }
    EXPECT_EQ(runs, 1);
    {
        auto guard = onScopeExit([&] { runs++; });
        guard.dismiss();
    }
    EXPECT_EQ(runs, 1);

    // A socket guard closes its socket, unless the socket was released from it.
    uint16_t port = 0;
    SocketHandle listener = listenOnLoopback(0, 4, &port);
    ASSERT_NE(listener, NO_SOCKET);
    uint32_t loopback = 0;
    ASSERT_EQ(parseIpv4Address("127.0.0.1", &loopback), 1);
    auto connects = [&]() {
        SocketGuard client(createTcpSocket());
        int code = 0;
        return startConnect(client.socket, loopback, port, &code) == 1;
    };
    {
        SocketGuard guard(listener);
        EXPECT_EQ(guard.release(), listener);
    }
    EXPECT_TRUE(connects()) << "a released socket stays open";
    { SocketGuard guard(listener); }
    EXPECT_FALSE(connects()) << "the guard closed the listener";
}
