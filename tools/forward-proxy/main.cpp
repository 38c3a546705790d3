// An HTTP forward proxy on 127.0.0.1 for benchmarks and local trials, the scripted test proxy run as
// a program: absolute-form requests are relayed over kept upstream connections and CONNECT opens a
// tunnel. It prints its port, writes it to the port file and runs until interrupted or terminated.
// With --user and --password every request must carry their Basic Proxy-Authorization (else 407);
// a CONNECT to a port given with --refuse-connect gets a 403.
//     forward-proxy [--port-file FILE] [--map HOST:PORT=127.0.0.1:PORT ...] [--user U --password P]
//                   [--refuse-connect PORT ...]
#include "tools/support/testproxy.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

static volatile std::sig_atomic_t stopRequested = 0;

static void requestStop(int) {
    stopRequested = 1;
}

static int usage() {
    std::fprintf(stderr, "usage: forward-proxy [--port-file FILE] [--map HOST:PORT=127.0.0.1:PORT ...] "
                         "[--user U --password P] [--refuse-connect PORT ...]\n");
    return 2;
}

// Writes the port beside the file first and renames it, so that a reader never sees half of it.
static bool writePortFile(const std::string& path, int port) {
    std::string temporary = path + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (!file) return false;
    bool written = std::fprintf(file, "%d\n", port) > 0;
    written = std::fclose(file) == 0 && written;
    std::remove(path.c_str());
    return written && std::rename(temporary.c_str(), path.c_str()) == 0;
}

int main(int argc, char** argv) {
    std::string portFile;
    std::string user;
    std::string password;
    bool withUser = false;
    bool withPassword = false;
    TestProxy proxy;
    for (int i = 1; i < argc; i++) {
        const char* option = argv[i];
        if (i + 1 >= argc) return usage();
        std::string value = argv[++i];
        if (std::strcmp(option, "--port-file") == 0) {
            portFile = value;
        } else if (std::strcmp(option, "--map") == 0) {
            size_t equals = value.find('=');
            if (equals == std::string::npos || equals == 0 || equals + 1 == value.size()) return usage();
            mapProxyHost(proxy, value.substr(0, equals), value.substr(equals + 1));
        } else if (std::strcmp(option, "--refuse-connect") == 0) {
            refuseConnectToPort(proxy, std::atoi(value.c_str()));
        } else if (std::strcmp(option, "--user") == 0) {
            user = value;
            withUser = true;
        } else if (std::strcmp(option, "--password") == 0) {
            password = value;
            withPassword = true;
        } else {
            return usage();
        }
    }
    if (withUser != withPassword) return usage();
    if (withUser) requireProxyBasicAuth(proxy, user, password);
    if (!startTestProxy(proxy)) {
        std::fprintf(stderr, "forward-proxy: cannot listen on 127.0.0.1\n");
        return 1;
    }
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    std::printf("forward proxy on %s\n", proxyUrl(proxy).c_str());
    std::fflush(stdout);
    if (!portFile.empty() && !writePortFile(portFile, proxy.port)) {
        std::fprintf(stderr, "forward-proxy: cannot write %s\n", portFile.c_str());
        stopTestProxy(proxy);
        return 1;
    }
    while (!stopRequested)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stopTestProxy(proxy);
    return 0;
}
