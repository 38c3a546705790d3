// Host name lookups against a name server on a loopback address that never answers, or answers
// that a name does not exist. The test program runs itself again in a mount namespace whose
// /etc/resolv.conf names that server alone, so no lookup leaves the machine and no name resolves.
#include "http/connectiontest.h"
#include "http/download.h"

#include "httpfixture.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const char* const INSIDE_VARIABLE = "VEDO_NAMES_INSIDE";
const std::string SILENT = "silent.names.test";   // never answered
const std::string STALLED = "stalled.names.test"; // never answered; the stop ends its wait
const std::string MISSING = "missing.names.test"; // answered: no such name

// Counts the queries per name until stopping is set; answers NXDOMAIN for MISSING (and for
// MISSING under any search domain), nothing for the others.
void serveNames(int fd, const std::atomic<bool>* stopping, std::map<std::string, int>* queries) {
    unsigned char packet[512];
    while (!stopping->load()) {
        struct pollfd watched = {fd, POLLIN, 0};
        if (poll(&watched, 1, 100) <= 0) continue;
        struct sockaddr_in from;
        socklen_t fromSize = sizeof from;
        ssize_t n = recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        std::string name;
        ssize_t p = 12;
        for (; p < n && packet[p] != 0 && p + 1 + packet[p] <= n; p += 1 + packet[p])
            name +=
                (name.empty() ? "" : ".") + std::string(reinterpret_cast<char*>(packet) + p + 1, packet[p]);
        if (p + 5 > n) continue;
        (*queries)[name]++;
        if (name.rfind(MISSING, 0) != 0) continue;
        packet[2] = static_cast<unsigned char>(0x80 | (packet[2] & 0x79)); // an answer, RD kept
        packet[3] = 0x83;                                                  // RA, NXDOMAIN
        std::memset(packet + 6, 0, 6);
        sendto(fd, packet, static_cast<size_t>(p + 5), 0, reinterpret_cast<sockaddr*>(&from), fromSize);
    }
}

// The checks, run inside the namespace with real lookups.
void checkLookups() {
    initConnectionPool();
    setLoopbackOnly(0);
    resetConnectFailures();
    char errorText[ERROR_TEXT_SIZE];
    auto open = [&](const std::string& host, int port) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(openSocket(host.c_str(), port, errorText), NO_SOCKET);
        return secondsSince(start);
    };
    // Three addresses on a name whose lookup never ends cost one wait of the connect time-out.
    setConnectionTimeouts(1000, 1000);
    double first = open(SILENT, 80);
    EXPECT_GE(first, 0.9);
    EXPECT_LT(first, 3.0);
    for (int port : {8080, 80}) {
        EXPECT_LT(open(SILENT, port), 0.5) << "the name failed already";
        EXPECT_EQ(engineToUtf8(errorText), "无法解析域名: " + SILENT);
    }
    EXPECT_EQ(connectFailureCount(SILENT.c_str(), 80), 1);
    // A stop ends a lookup that would wait 30 s, within a second, and the name stays untried.
    setConnectionTimeouts(30000, 1000);
    std::atomic<int> stop{0};
    setTransferStopFlag(&stop);
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop.store(1);
    });
    EXPECT_LT(open(STALLED, 80), 1.8);
    stopper.join();
    setTransferStopFlag(nullptr);
    EXPECT_EQ(engineToUtf8(errorText), "连接已中止：收到停止请求。");
    EXPECT_EQ(connectFailureCount(STALLED.c_str(), 80), 0);
    // A name that does not exist: one lookup per run, however many addresses.
    for (int run = 0; run < 2; run++) {
        for (int port : {80, 81, 80})
            EXPECT_LT(open(MISSING, port), 3.0);
        EXPECT_EQ(engineToUtf8(errorText), "无法解析域名: " + MISSING);
        EXPECT_EQ(connectFailureCount(MISSING.c_str(), 80), 1);
        resetConnectFailures();
    }
    setLoopbackOnly(1);
    setConnectionTimeouts(0, 0);
}

TEST(HostNames, ADeadNameCostsOneWaitAStopEndsItAndAMissingNameOneLookupPerRun) {
    if (std::getenv(INSIDE_VARIABLE)) return checkLookups();
    if (geteuid() != 0) GTEST_SKIP() << "a mount namespace and port 53 need root";
    if (std::system("unshare -m true >/dev/null 2>&1") != 0) GTEST_SKIP() << "unshare -m is not available";
    char self[4096] = {0};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string address =
        "127.53." + std::to_string(getpid() / 250 % 250 + 1) + "." + std::to_string(getpid() % 250 + 1);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(53);
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0) << address;
    std::atomic<bool> stopping{false};
    std::map<std::string, int> queries;
    std::thread server(serveNames, fd, &stopping, &queries);

    std::string folder = makeTempDir("names");
    std::string resolv = joinPath(folder, "resolv.conf");
    writeWholeFile(resolv, "nameserver " + address + "\noptions timeout:30 attempts:1\n");
    std::string command = std::string(INSIDE_VARIABLE) +
                          "=1 unshare -m sh -c 'mount --bind \"$0\" /etc/resolv.conf && exec \"$1\" "
                          "--gtest_filter=HostNames.*' '" +
                          resolv + "' '" + self + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << "the checks inside the namespace failed";
    stopping.store(true);
    server.join();
    close(fd);
    removeTree(folder);
    EXPECT_EQ(queries[SILENT], 1) << "one lookup for three addresses";
    EXPECT_EQ(queries[STALLED], 1);
    EXPECT_EQ(queries[MISSING], 2) << "one lookup in each of two runs";
}

} // namespace
#endif
