// Signals that reach vedo-cli migrate while it runs: every stop signal ends a download in flight
// at once and still writes the package back, and a reader that goes away does not end the run.
#include "support/testfiles.h"
#include "tools/support/testserver.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
extern char** environ;

namespace fs = std::filesystem;

namespace {

const std::string HOST = "photos.example.test";

std::string imageUrl(const std::string& path) {
    return "http://" + HOST + path;
}

// The ASCII text as the UTF-16LE bytes of the package.
std::string utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

struct SignalScene {
    std::string dir = makeTempDir("cli-signals");
    std::string program;
    std::string folder = joinPath(dir, "images");
    std::string package = joinPath(dir, "shop.csv");
    TestServer server;

    SignalScene() {
        // A copy of the program of its own: app.log and the backup folder lie beside it.
        std::string programDir = joinPath(dir, "program");
        fs::create_directories(programDir);
        fs::create_directories(folder);
        program = joinPath(programDir, "vedo-cli");
        fs::copy_file(VEDO_CLI_PATH, program);
        startTestServer(server);
    }
    ~SignalScene() {
        stopTestServer(server);
        removeTree(dir);
    }

    // Items of (title, description) with the image addresses in their descriptions.
    void writePackage(const std::vector<std::pair<std::string, std::vector<std::string>>>& items) {
        std::string text = "version 1.00\r\ntitle\tdescription\twireless_desc\tprice\r\n"
                           "宝贝名称\t宝贝描述\t无线详情\t宝贝价格\r\n";
        for (const auto& item : items) {
            std::string desc;
            for (const std::string& url : item.second)
                desc += "<p><img src=\"" + url + "\" /></p>";
            text += csvQuoted(item.first) + "\t" + csvQuoted(desc) + "\t\"\"\t10\r\n";
        }
        writeWholeFile(package, utf8ToUtf16leWithBom(text));
    }

    std::vector<std::string> arguments() const {
        // One connection: the scripted replies go to the images in package order.
        return {program,         "migrate",
                package,         folder,
                "--connect-to",  HOST + ":80:127.0.0.1:" + std::to_string(server.port),
                "--connections", "1"};
    }

    size_t fileCount() const {
        size_t n = 0;
        for (auto it = fs::directory_iterator(folder); it != fs::directory_iterator(); ++it)
            n++;
        return n;
    }

    bool packageHolds(const std::string& ascii) const {
        return readWholeFile(package).find(utf16(ascii)) != std::string::npos;
    }
};

// Starts the program with its output in files of the scene's folder.
pid_t spawnProgram(const SignalScene& s) {
    std::vector<std::string> args = s.arguments();
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, joinPath(s.dir, "stdout.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, joinPath(s.dir, "stderr.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    int started = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    return started == 0 ? pid : -1;
}

// Waits for the process at most `seconds`; kills it when it is still running then. Returns the
// wait status, or -1 when it had to be killed.
int waitOrKill(pid_t pid, double seconds) {
    auto start = std::chrono::steady_clock::now();
    int status = 0;
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < seconds) {
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

TEST(CliSignals, StopSignalsEndADownloadInFlightAndWriteBack) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        SignalScene s;
        // The first image arrives at once; the second one byte a second, never finishing in time.
        addReply(s.server, okReply(jpegBody(2000, 1)));
        TestReply crawl;
        crawl.bytes = okReply(jpegBody(5000, 2));
        crawl.pieceSize = 1;
        crawl.pauseMilliseconds = 1000;
        addReply(s.server, crawl);
        s.writePackage({{"慢", {imageUrl("/fast.jpg"), imageUrl("/slow.jpg")}}});

        pid_t pid = spawnProgram(s);
        ASSERT_GT(pid, 0);
        // The second image's file exists once its request has gone out.
        for (int i = 0; i < 1000 && s.fileCount() < 2; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(s.fileCount(), 2u);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_EQ(kill(pid, signal), 0);
        auto start = std::chrono::steady_clock::now();
        int status = waitOrKill(pid, 20.0);
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ASSERT_NE(status, -1) << "the program did not end";
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 130);
        EXPECT_LT(elapsed, 5.0);
        EXPECT_EQ(s.fileCount(), 1u) << "the unfinished image is removed";
        EXPECT_FALSE(s.packageHolds(imageUrl("/fast.jpg"))) << "the saved image is written back";
        EXPECT_TRUE(s.packageHolds(imageUrl("/slow.jpg"))) << "the unfinished one stays for the next run";
    }
}

TEST(CliSignals, ClosedOutputPipeDoesNotEndTheRun) {
    SignalScene s;
    // Enough rows that the output outgrows the pipe's buffer while images are still coming.
    std::vector<std::pair<std::string, std::vector<std::string>>> items;
    std::string longTitle;
    for (int i = 0; i < 60; i++)
        longTitle += "长";
    const int count = 60;
    for (int i = 0; i < count; i++) {
        std::string path = "/p" + std::to_string(i) + ".jpg";
        items.push_back({longTitle + std::to_string(i), {imageUrl(path)}});
        TestReply reply;
        reply.bytes = okReply(jpegBody(500, static_cast<unsigned>(i)));
        reply.pauseMilliseconds = 40;
        addReply(s.server, reply);
    }
    s.writePackage(items);

    std::string command = "{";
    for (const std::string& a : s.arguments())
        command += " '" + a + "'";
    command += " 2>/dev/null; echo $? >'" + joinPath(s.dir, "status.txt") + "'; } | head -c 1 >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(readWholeFile(joinPath(s.dir, "status.txt")), "0\n");
    EXPECT_EQ(s.fileCount(), static_cast<size_t>(count));
    EXPECT_FALSE(s.packageHolds("http://")) << "every address is written back";
}

} // namespace
#endif
