// Download benchmark: fetches COUNT images of 30 to 60 KB from a local server over one keep-alive
// connection with downloadImage, then the same list with one curl process (which also keeps one
// connection for all of them), and reports images per second for both and their ratio.
//
//   bench-download [--count N] [--rounds R] [--curl PATH] [--https CERTIFICATES]
//
// --https serves the images over TLS with CERTIFICATES/server.pem and server.key (made by
// tests/support/make-test-certificates.sh), and both clients trust CERTIFICATES/ca.pem.
//
// Every round fetches the whole list with each client; the best round of each is reported.
#include "http/connection.h"
#include "http/download.h"
#include "platform/files.h"
#include "tools/support/testserver.h"
#include "tools/support/wholefile.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

static double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

static bool sameFiles(const std::vector<std::string>& bodies, const std::string& folder) {
    for (size_t i = 0; i < bodies.size(); i++) {
        std::string path = folder + PATH_SEPARATOR + std::to_string(i) + ".jpg";
        if (readWholeFile(path) != bodies[i]) {
            std::fprintf(stderr, "bench-download: %s differs from what was served\n", path.c_str());
            return false;
        }
    }
    return true;
}

static void emptyFolder(const std::string& folder) {
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::create_directories(folder, ec);
}

int main(int argc, char** argv) {
    int count = 2000;
    int rounds = 3;
    std::string curl = "curl";
    std::string certificates;
    for (int i = 1; i < argc; i++) {
        if (!std::strcmp(argv[i], "--count") && i + 1 < argc) {
            count = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--curl") && i + 1 < argc) {
            curl = argv[++i];
        } else if (!std::strcmp(argv[i], "--https") && i + 1 < argc) {
            certificates = argv[++i];
        } else {
            std::fprintf(
                stderr,
                "usage: bench-download [--count N] [--rounds R] [--curl PATH] [--https CERTIFICATES]\n");
            return 2;
        }
    }
    if (count <= 0 || rounds <= 0) return 2;

    TestServer server;
    std::vector<std::string> bodies;
    std::srand(20260101);
    size_t totalBytes = 0;
    for (int i = 0; i < count; i++) {
        size_t size = 30 * 1024 + static_cast<size_t>(std::rand() % (30 * 1024 + 1));
        bodies.push_back(jpegBody(size, static_cast<unsigned>(i)));
        totalBytes += size;
        serveResource(server, "/img/" + std::to_string(i) + ".jpg", bodies.back());
    }
    bool https = !certificates.empty();
    std::string caFile = certificates + PATH_SEPARATOR + "ca.pem";
    int started = https ? startTlsTestServer(server, certificates + PATH_SEPARATOR + "server.pem",
                                             certificates + PATH_SEPARATOR + "server.key")
                        : startTestServer(server);
    if (!started) {
        std::fprintf(stderr, "bench-download: cannot listen on 127.0.0.1\n");
        return 1;
    }
    initConnectionPool();
    setLoopbackOnly(1);
    if (https) {
        char errorText[ERROR_TEXT_SIZE] = {0};
        if (!setExtraCaFile(caFile.c_str(), errorText)) {
            std::fprintf(stderr, "bench-download: %s\n", errorText);
            return 1;
        }
    }
    auto imageUrl = [&](int i) {
        std::string path = "/img/" + std::to_string(i) + ".jpg";
        return https ? serverHttpsUrl(server, path) : serverUrl(server, path);
    };

    fs::path base = fs::temp_directory_path() / ("vedo-bench-download-" + std::to_string(server.port));
    std::string ours = (base / "ours").string();
    std::string theirs = (base / "curl").string();
    std::string config = (base / "curl.cfg").string();

    // One curl process for the whole list: it keeps one connection to the server for all of them.
    fs::create_directories(base);
    FILE* cfg = std::fopen(config.c_str(), "wb");
    if (!cfg) return 1;
    for (int i = 0; i < count; i++) {
        std::fprintf(cfg, "url = \"%s\"\noutput = \"%s%c%d.jpg\"\n", imageUrl(i).c_str(), theirs.c_str(),
                     PATH_SEPARATOR, i);
    }
    std::fclose(cfg);
#ifdef _WIN32
    std::string command = curl + " --silent --show-error --fail --noproxy \"*\" --config \"" + config + "\"";
    if (https) command += " --cacert \"" + caFile + "\"";
#else
    std::string command = curl + " --silent --show-error --fail --noproxy '*' --config '" + config + "'";
    if (https) command += " --cacert '" + caFile + "'";
#endif

    double bestOurs = 1e9;
    double bestCurl = 1e9;
    int ourConnections = 0;
    int curlConnections = 0;
    for (int round = 0; round < rounds; round++) {
        emptyFolder(ours);
        closeAllPooledSockets();
        int before = connectionCount(server);
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; i++) {
            char errorText[ERROR_TEXT_SIZE] = {0};
            std::string address = imageUrl(i);
            std::string dest = ours + PATH_SEPARATOR + std::to_string(i) + ".jpg";
            int result = downloadImage(address.c_str(), https, dest.c_str(), errorText, 1, 0);
            if (result != 1) {
                std::fprintf(stderr, "bench-download: %s: result %d: %s\n", address.c_str(), result,
                             errorText);
                return 1;
            }
        }
        double elapsed = secondsSince(start);
        double ourRound = elapsed;
        closeAllPooledSockets();
        ourConnections = connectionCount(server) - before;
        if (elapsed < bestOurs) bestOurs = elapsed;
        if (round == 0 && !sameFiles(bodies, ours)) return 1;

        emptyFolder(theirs);
        before = connectionCount(server);
        start = std::chrono::steady_clock::now();
        int status = std::system(command.c_str());
        elapsed = secondsSince(start);
        if (status != 0) {
            std::fprintf(stderr, "bench-download: curl failed (%d)\n", status);
            return 1;
        }
        curlConnections = connectionCount(server) - before;
        if (elapsed < bestCurl) bestCurl = elapsed;
        if (round == 0 && !sameFiles(bodies, theirs)) return 1;
        std::printf("round %d: downloadImage %.3f s, curl %.3f s\n", round + 1, ourRound, elapsed);
    }

    double oursRate = count / bestOurs;
    double curlRate = count / bestCurl;
    std::printf("%d images, %.1f MB in all\n", count, totalBytes / 1048576.0);
    std::printf("downloadImage: %.0f images/s (%.3f s, %d connection%s)\n", oursRate, bestOurs,
                ourConnections, ourConnections == 1 ? "" : "s");
    std::printf("curl:          %.0f images/s (%.3f s, %d connection%s)\n", curlRate, bestCurl,
                curlConnections, curlConnections == 1 ? "" : "s");
    std::printf("ratio:         %.1f%% of curl\n", 100.0 * oursRate / curlRate);

    std::error_code ec;
    fs::remove_all(base, ec);
    stopTestServer(server);
    return 0;
}
