// vedo-cli migrate with several connections: the same package, files and report as with one,
// whatever the order in which the downloads end.
#include "support/cliscene.h"
#include "support/testfiles.h"
#include "tools/support/testserver.h"
#include "tools/support/wholefile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace {

const std::string SPACE_HOST = "img.alicdn.com";
const std::string THIRD_HOST = "photos.example.test";
const std::string DEAD_HOST = "dead.example.test"; // routed to a port where nothing listens

struct Row {
    std::string title;
    std::vector<std::string> desc;
    std::vector<std::string> mobile;
};

std::string packageBytes(const std::vector<Row>& rows) {
    std::string text =
        "version "
        "1.00\r\ntitle\tdescription\twireless_desc\tprice\r\n宝贝名称\t宝贝描述\t无线详情\t宝贝价格\r\n";
    for (const Row& r : rows) {
        std::string desc;
        for (const std::string& u : r.desc)
            desc += "<p><img src=\"" + u + "\" /></p>";
        std::string mobile;
        if (!r.mobile.empty()) {
            mobile = "<wapDesc>";
            for (const std::string& u : r.mobile)
                mobile += "<img>" + u + "</img>";
            mobile += "</wapDesc>";
        }
        text += csvQuoted(r.title) + "\t" + csvQuoted(desc) + "\t" + csvQuoted(mobile) + "\t10\r\n";
    }
    return utf8ToUtf16leWithBom(text);
}

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

int exitStatusOf(int rc) {
#ifdef _WIN32
    return rc;
#else
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
}

std::string inQuotes(const std::string& path) {
    return "\"" + path + "\"";
}

// Stamp names carry the minute a run started; two runs compare by their running numbers alone.
std::string withoutStartTime(const std::string& text) {
    static const std::regex stamp("[0-9]+-[0-9]+-[0-9]+-[0-9]+-[0-9]+-([0-9]+)\\.");
    return std::regex_replace(text, stamp, "STAMP-$1.");
}

struct Scene : CliScene {
    Scene() : CliScene("cli-parallel") {}

    std::string url(const std::string& host, const std::string& path) const {
        return "http://" + host + path;
    }

    std::string command(const std::string& options) const {
        std::string port = std::to_string(server.port);
        return inQuotes(program) + " migrate " + inQuotes(package) + " " + inQuotes(folder) +
               " --connect-to " + SPACE_HOST + ":80:127.0.0.1:" + port + " --connect-to " + THIRD_HOST +
               ":80:127.0.0.1:" + port + " --connect-to " + DEAD_HOST + ":80:127.0.0.1:1 " + options;
    }

    RunResult run(const std::string& options) {
        std::string out = joinPath(dir, "stdout.txt");
        std::string err = joinPath(dir, "stderr.txt");
        std::string line = command(options) + " >" + inQuotes(out) + " 2>" + inQuotes(err);
#ifdef _WIN32
        line = "\"" + line + "\"";
#endif
        int rc = std::system(line.c_str());
        return {exitStatusOf(rc), readWholeFile(out), readWholeFile(err)};
    }

    // File name -> contents of every file in the image folder.
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> all;
        for (const auto& entry : fs::directory_iterator(folder))
            all[withoutStartTime(entry.path().filename().u8string())] =
                readWholeFile(utf8ToEngine(entry.path().u8string()));
        return all;
    }

    size_t finishedFileCount() const {
        size_t n = 0;
        for (const auto& entry : fs::directory_iterator(folder)) {
            // A failed image's name is taken and given back while the run goes on.
            std::error_code gone;
            uintmax_t size = fs::file_size(entry.path(), gone);
            if (entry.path().extension() != ".part" && !gone && size > 0) n++;
        }
        return n;
    }

    void emptyFolder() const {
        for (const auto& entry : fs::directory_iterator(folder))
            fs::remove(entry.path());
    }

    std::string log() const {
        return readWholeFile(joinPath(programDir, "app.log"));
    }

    // Path -> how often it was asked for, from the request numbered `from` on.
    std::map<std::string, int> requestCounts(size_t from) {
        std::map<std::string, int> counts;
        std::vector<LoggedRequest> all = receivedRequests(server);
        for (size_t i = from; i < all.size(); i++) {
            const std::string& text = all[i].text;
            size_t start = text.find(' ') + 1;
            counts[text.substr(start, text.find(' ', start) - start)]++;
        }
        return counts;
    }

    void resetPeak() {
        std::lock_guard<std::mutex> lock(server.mutex);
        server.peakAnswering = 0;
    }
};

std::string pngBody(unsigned seed) {
    std::string body = jpegBody(700 + seed % 300, seed);
    body[0] = static_cast<char>(0x89);
    body[1] = 'P';
    return body;
}

// A shop of a few hundred addresses: titles that repeat (their numbers skip names taken by earlier
// items), addresses shared between items, missing images, redirects, a dead server and mobile
// images with stamp names.
std::vector<Row> mixedShop(Scene& s) {
    std::vector<Row> rows;
    for (int i = 0; i < 70; i++) {
        Row row;
        row.title = "款式" + std::to_string(i % 20) + (i % 7 == 0 ? " 新" : "");
        for (int j = 0; j < 4; j++) {
            int k = i * 4 + j;
            const std::string& host = k % 2 ? SPACE_HOST : THIRD_HOST;
            std::string address;
            if (k % 9 == 0) {
                std::string path = "/shared/" + std::to_string(k % 5) + ".jpg";
                serveResource(s.server, path, jpegBody(1500, 900u + static_cast<unsigned>(k % 5)));
                address = s.url(THIRD_HOST, path);
            } else if (k % 13 == 0) {
                address = s.url(host, "/missing/" + std::to_string(k) + ".jpg");
            } else if (k % 17 == 0) {
                std::string path = "/moved/" + std::to_string(k) + ".jpg";
                std::string target = "/img/" + std::to_string(k) + ".jpg";
                serveResource(s.server, target, jpegBody(1200, static_cast<unsigned>(k)));
                serveRedirect(s.server, path, s.url(SPACE_HOST, target));
                address = s.url(host, path);
            } else if (k % 23 == 0) {
                address = s.url(DEAD_HOST, "/" + std::to_string(k) + ".jpg");
            } else if (k % 5 == 0) {
                std::string path = "/img/" + std::to_string(k) + ".png";
                serveResource(s.server, path, pngBody(static_cast<unsigned>(k)));
                address = s.url(host, path);
            } else {
                std::string path = "/img/" + std::to_string(k) + ".jpg";
                serveResource(s.server, path,
                              jpegBody(800 + static_cast<size_t>(k % 11) * 100, static_cast<unsigned>(k)));
                address = s.url(host, path);
            }
            row.desc.push_back(address);
        }
        if (i % 3 == 0) {
            std::string path = "/m/" + std::to_string(i) + ".jpg";
            serveResource(s.server, path, jpegBody(900, 5000u + static_cast<unsigned>(i)));
            row.mobile.push_back(s.url(SPACE_HOST, path));
            if (i % 6 == 0) row.mobile.push_back(rows.empty() ? row.desc[1] : rows.back().desc[2]);
        }
        rows.push_back(row);
    }
    return rows;
}

struct Outcome {
    RunResult run;
    std::string package;
    std::map<std::string, std::string> files;
    std::map<std::string, int> requests;
    int peak;
};

Outcome migrateAfresh(Scene& s, const std::string& original, const std::string& options) {
    s.emptyFolder();
    writeWholeFile(s.package, original);
    s.resetPeak();
    size_t before = receivedRequests(s.server).size();
    Outcome o;
    o.run = s.run(options);
    o.package = withoutStartTime(utf16leWithBomToUtf8(readWholeFile(s.package)));
    o.files = s.files();
    o.requests = s.requestCounts(before);
    o.peak = peakAnswering(s.server);
    return o;
}

TEST(CliParallel, SixConnectionsGiveTheSamePackageFilesAndReportAsOne) {
    Scene s;
    setReplyDelay(s.server, 30);
    std::string original = packageBytes(mixedShop(s));

    Outcome one = migrateAfresh(s, original, "--json --connections 1");
    Outcome six = migrateAfresh(s, original, "--json --connections 6");

    EXPECT_EQ(one.run.status, 3) << one.run.err;
    EXPECT_EQ(six.run.status, one.run.status) << six.run.err;
    EXPECT_EQ(six.run.out, one.run.out);
    EXPECT_NE(one.run.out.find("\"failureCount\":"), std::string::npos) << one.run.out;
    EXPECT_EQ(six.package, one.package);
    EXPECT_GT(one.files.size(), 200u);
    for (const auto& f : one.files)
        EXPECT_GE(f.second.size(), 700u) << f.first;
    std::vector<std::string> oneNames, sixNames;
    for (const auto& f : one.files)
        oneNames.push_back(f.first);
    for (const auto& f : six.files)
        sixNames.push_back(f.first);
    EXPECT_EQ(sixNames, oneNames);
    EXPECT_TRUE(six.files == one.files) << "the same names hold the same images";
    EXPECT_EQ(one.package.find("http://" + THIRD_HOST + "/img/"), std::string::npos);

    // Each address is asked for as often with six connections as with one: an image once.
    EXPECT_EQ(six.requests, one.requests);
    EXPECT_EQ(six.requests["/shared/1.jpg"], 1);
    for (const auto& r : six.requests) {
        if (r.first.rfind("/missing/", 0) != 0) {
            EXPECT_EQ(r.second, 1) << r.first;
        }
    }
    EXPECT_EQ(one.peak, 1);
    EXPECT_LE(six.peak, 6);
    EXPECT_GE(six.peak, 2) << "the downloads overlapped";
}

TEST(CliParallel, ADeadServerCostsABoundedNumberOfConnectionAttempts) {
    Scene s;
    std::vector<std::string> dead;
    for (int i = 0; i < 40; i++)
        dead.push_back(s.url(DEAD_HOST, "/" + std::to_string(i) + ".jpg"));
    serveResource(s.server, "/alive.jpg", jpegBody(1000, 1));
    writeWholeFile(s.package,
                   packageBytes({{"死", dead, {}}, {"活", {s.url(THIRD_HOST, "/alive.jpg")}, {}}}));
    RunResult run = s.run("--json --connections 6");
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_NE(run.out.find("\"failureCount\":40,"), std::string::npos) << run.out;
    // Each attempt that reached the port left its failure in the log; once five had failed in a
    // row the server was refused without one, and only the attempts already under way were made.
    std::string log = engineToUtf8(s.log());
    size_t attempts = 0;
    for (size_t at = log.find("使用非阻塞方式连接发生错误"); at != std::string::npos;
         at = log.find("使用非阻塞方式连接发生错误", at + 1))
        attempts++;
    EXPECT_GE(attempts, 5u) << log;
    EXPECT_LE(attempts, 10u) << log;
    EXPECT_EQ(s.finishedFileCount(), 1u);
}

TEST(CliParallel, TakesConnectionCountsOfOneToEightInDigitsOnly) {
    Scene s;
    serveResource(s.server, "/a.jpg", jpegBody(900, 1));
    std::string original = packageBytes({{"一", {s.url(THIRD_HOST, "/a.jpg")}, {}}});
    struct Case {
        const char* value;
        bool taken;
    } cases[] = {{"1", true},   {"8", true},   {"08", true},   {"008", true}, {"0003", true}, {"0", false},
                 {"00", false}, {"9", false},  {"009", false}, {"+3", false}, {" 3", false},  {"3 ", false},
                 {"3x", false}, {"-1", false}, {"", false},    {"x", false}};
    for (const Case& c : cases) {
        writeWholeFile(s.package, original);
        s.emptyFolder();
        size_t before = receivedRequests(s.server).size();
        RunResult run = s.run(std::string("--connections \"") + c.value + "\"");
        if (c.taken) {
            EXPECT_EQ(run.status, 0) << "\"" << c.value << "\" " << run.err;
            EXPECT_EQ(receivedRequests(s.server).size(), before + 1) << c.value;
        } else {
            EXPECT_EQ(run.status, 2) << "\"" << c.value << "\"";
            EXPECT_NE(run.err.find("--connections takes a number from 1 to 8"), std::string::npos) << run.err;
            EXPECT_EQ(readWholeFile(s.package), original);
            EXPECT_EQ(receivedRequests(s.server).size(), before);
        }
    }
}

// A server that serves two connections per client and turns every further one away: the run
// with six connections ends exactly as the one with one, whatever the server does with the extra
// connection, and no image fails.
TEST(CliParallel, AServerThatAllowsTwoConnectionsCostsNoImage) {
    Scene s;
    setReplyDelay(s.server, 10);
    std::vector<Row> rows;
    for (int i = 0; i < 20; i++) {
        Row row;
        row.title = "限" + std::to_string(i % 6);
        for (int j = 0; j < 3; j++) {
            int k = i * 3 + j;
            std::string path = "/l/" + std::to_string(k) + ".jpg";
            serveResource(s.server, path,
                          jpegBody(900 + static_cast<size_t>(k % 7) * 150, static_cast<unsigned>(k)));
            row.desc.push_back(s.url(THIRD_HOST, path));
        }
        rows.push_back(row);
    }
    std::string original = packageBytes(rows);
    Outcome plain = migrateAfresh(s, original, "--json --connections 1");
    Outcome blank = migrateAfresh(s, original, "--json --blank-failed --connections 1");
    ASSERT_EQ(plain.run.status, 0) << plain.run.err;
    ASSERT_EQ(plain.files.size(), 60u);

    struct Mode {
        const char* name;
        LimitAnswer answer;
        const char* retryAfter;
    } modes[] = {{"503", LimitAnswer::STATUS_503, ""}, {"503 Retry-After", LimitAnswer::STATUS_503, "1"},
                 {"429", LimitAnswer::STATUS_429, ""}, {"429 Retry-After", LimitAnswer::STATUS_429, "1"},
                 {"reset", LimitAnswer::RESET, ""},    {"refused", LimitAnswer::REFUSE, ""}};
    for (const Mode& mode : modes) {
        setConnectionLimit(s.server, 2, mode.answer, mode.retryAfter);
        for (const char* options : {"--json --connections 1", "--json", "--json --blank-failed"}) {
            int refusedBefore = limitRefusals(s.server);
            auto start = std::chrono::steady_clock::now();
            Outcome o = migrateAfresh(s, original, options);
            long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
            std::printf("limit 2, %s, %s: %lld ms\n", mode.name, options, ms);
            const Outcome& one =
                std::string(options).find("--blank-failed") != std::string::npos ? blank : plain;
            std::string what = std::string(mode.name) + " " + options;
            EXPECT_EQ(o.run.status, 0) << what << o.run.err;
            EXPECT_EQ(o.run.out, one.run.out) << what;
            EXPECT_EQ(o.package, one.package) << what;
            EXPECT_TRUE(o.files == one.files) << what;
            if (std::string(options).find("--connections 1") == std::string::npos) {
                EXPECT_GT(limitRefusals(s.server), refusedBefore) << what << ": the limit was met";
            }
        }
    }
}

// A busy answer while no other connection to the server works: the image is asked for again after
// the Retry-After, or after a backoff without one, at most three more times, and then fails.
TEST(CliParallel, ALoneBusyAnswerIsAskedAgainThreeTimesAtMost) {
    Scene s;
    serveResource(s.server, "/b.jpg", jpegBody(900, 3));
    std::string original = packageBytes({{"忙", {s.url(THIRD_HOST, "/b.jpg")}, {}}});
    struct Case {
        const char* connections;
        const char* status;
        const char* headers;
        int busyAnswers;
        int exitStatus;
        long long atLeastMs;
    } cases[] = {
        {"1", "HTTP/1.1 503 Service Unavailable", "Retry-After: 0\r\n", 4, 3, 0},
        {"6", "HTTP/1.1 429 Too Many Requests", "Retry-After: 0\r\n", 4, 3, 0},
        {"1", "HTTP/1.1 503 Service Unavailable", "Retry-After: 0\r\n", 3, 0, 0},
        {"1", "HTTP/1.1 429 Too Many Requests", "", 1, 0, 900},
        {"6", "HTTP/1.1 503 Service Unavailable", "Retry-After: 1\r\n", 1, 0, 900},
    };
    for (const Case& c : cases) {
        for (int i = 0; i < c.busyAnswers; i++)
            addReply(s.server, rawReply(c.status, std::string("Content-Length: 0\r\n") + c.headers));
        size_t before = receivedRequests(s.server).size();
        auto start = std::chrono::steady_clock::now();
        Outcome o = migrateAfresh(s, original, std::string("--json --connections ") + c.connections);
        long long ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        std::string what =
            std::string(c.status) + " x" + std::to_string(c.busyAnswers) + " --connections " + c.connections;
        EXPECT_EQ(o.run.status, c.exitStatus) << what << o.run.err;
        size_t asked = c.busyAnswers > 3 ? 4 : static_cast<size_t>(c.busyAnswers) + 1;
        EXPECT_EQ(receivedRequests(s.server).size() - before, asked) << what;
        EXPECT_GE(ms, c.atLeastMs) << what;
        EXPECT_EQ(o.files.size(), c.exitStatus == 0 ? 1u : 0u) << what;
        EXPECT_EQ(o.package.find("/b.jpg") != std::string::npos, c.exitStatus != 0) << what;
        std::lock_guard<std::mutex> lock(s.server.mutex);
        s.server.script.clear();
    }
}

#ifndef _WIN32

pid_t spawnMigrate(const Scene& s, const std::string& options) {
    std::string command = s.command(options) + " >" + inQuotes(joinPath(s.dir, "stdout.txt")) + " 2>" +
                          inQuotes(joinPath(s.dir, "stderr.txt"));
    std::string line = "exec " + command;
    const char* argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
    pid_t pid = 0;
    posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ);
    return pid;
}

TEST(CliParallel, StopAndResumeEndAsAnUninterruptedRun) {
    Scene s;
    setReplyDelay(s.server, 10);
    std::vector<Row> rows;
    for (int i = 0; i < 30; i++) {
        Row row;
        row.title = "停" + std::to_string(i % 8);
        for (int j = 0; j < 4; j++) {
            int k = i * 4 + j;
            std::string path = (k % 11 == 0 ? "/missing/" : "/img/") + std::to_string(k) + ".jpg";
            if (k % 11) serveResource(s.server, path, jpegBody(1000, static_cast<unsigned>(k)));
            row.desc.push_back(s.url(k % 2 ? SPACE_HOST : THIRD_HOST, path));
        }
        rows.push_back(row);
    }
    // Item 12's first image is held back, so that the run is certain to be under way at the stop.
    std::string original = packageBytes(rows);
    Outcome whole = migrateAfresh(s, original, "--connections 6");
    EXPECT_EQ(whole.run.status, 3) << whole.run.err;

    s.emptyFolder();
    writeWholeFile(s.package, original);
    holdPath(s.server, "/img/48.jpg", true);
    pid_t pid = spawnMigrate(s, "--json --connections 6");
    ASSERT_GT(pid, 0);
    // The twelve items before the held image end with 43 saved images (five of 48 are missing).
    for (int i = 0; i < 1000 && s.finishedFileCount() < 43; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(s.finishedFileCount(), 43u);
    ASSERT_EQ(kill(pid, SIGINT), 0);
    int rc = 0;
    waitpid(pid, &rc, 0);
    holdPath(s.server, "/img/48.jpg", false);
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_EQ(WEXITSTATUS(rc), 130);
    std::string out = readWholeFile(joinPath(s.dir, "stdout.txt"));
    EXPECT_NE(out.find("\"finished\":12,"), std::string::npos) << out;
    for (const auto& f : s.files())
        EXPECT_EQ(f.first.find(".part"), std::string::npos) << "a download that did not end is removed";
    std::string stopped = utf16leWithBomToUtf8(readWholeFile(s.package));
    EXPECT_EQ(stopped.find("/img/47.jpg"), std::string::npos) << "what was saved is written back";
    EXPECT_NE(stopped.find("/img/48.jpg"), std::string::npos);

    RunResult resumed = s.run("--connections 6");
    EXPECT_EQ(resumed.status, 3) << resumed.err;
    EXPECT_EQ(withoutStartTime(utf16leWithBomToUtf8(readWholeFile(s.package))), whole.package);
    EXPECT_TRUE(s.files() == whole.files);
}

TEST(CliParallel, AFullDiskUnderParallelDownloadsLosesNothingSavedBefore) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    Scene s;
    if (mount("tmpfs", s.folder.c_str(), "tmpfs", 0, "size=96k") != 0)
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    std::map<std::string, std::string> served;
    std::vector<Row> rows;
    for (int i = 0; i < 12; i++) {
        Row row;
        row.title = "满" + std::to_string(i);
        for (int j = 0; j < 3; j++) {
            std::string path = "/f/" + std::to_string(i * 3 + j) + ".jpg";
            size_t size = (i == 6 && j == 1) ? 150000 : 6000;
            served[path] = jpegBody(size, static_cast<unsigned>(i * 3 + j));
            serveResource(s.server, path, served[path]);
            row.desc.push_back(s.url(THIRD_HOST, path));
        }
        rows.push_back(row);
    }
    writeWholeFile(s.package, packageBytes(rows));
    RunResult run = s.run("--connections 6");
    std::string text = utf16leWithBomToUtf8(readWholeFile(s.package));
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(s.folder))
        files[entry.path().u8string()] = readWholeFile(utf8ToEngine(entry.path().u8string()));
    umount2(s.folder.c_str(), MNT_DETACH);

    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("写入文件时出错，请检查硬盘可用空间是否已不足。"), std::string::npos) << run.err;
    // Every address the package no longer holds names a whole image, and every file left is one
    // that the package names.
    size_t moved = 0;
    for (const auto& image : served) {
        if (text.find(image.first) != std::string::npos) continue;
        moved++;
        bool found = false;
        for (const auto& f : files) {
            if (f.second == image.second && text.find(f.first) != std::string::npos) found = true;
        }
        EXPECT_TRUE(found) << image.first;
    }
    EXPECT_EQ(files.size(), moved);
    for (const auto& f : files) {
        EXPECT_NE(text.find(f.first), std::string::npos) << f.first;
        EXPECT_EQ(f.first.find(".part"), std::string::npos) << f.first;
    }
}

#endif

} // namespace
