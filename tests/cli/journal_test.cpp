// vedo-cli migrate killed at any moment: the next run adopts what the killed one saved and ends
// exactly as an uninterrupted run, with nothing left behind.
#include "support/cliscene.h"
#include "support/testfiles.h"
#include "tools/support/testserver.h"
#include "platform/files.h"
#include "tools/support/wholefile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace {

const std::string HOST = "photos.example.test";

std::string inQuotes(const std::string& path) {
    return "\"" + path + "\"";
}

// A package of rows (title, description addresses).
std::string packageBytes(const std::vector<std::pair<std::string, std::vector<std::string>>>& rows) {
    std::string text =
        "version "
        "1.00\r\ntitle\tdescription\twireless_desc\tprice\r\n宝贝名称\t宝贝描述\t无线详情\t宝贝价格\r\n";
    for (const auto& row : rows) {
        std::string desc;
        for (const std::string& u : row.second)
            desc += "<p><img src=\"" + u + "\" /></p>";
        text += csvQuoted(row.first) + "\t" + csvQuoted(desc) + "\t" + csvQuoted("") + "\t10\r\n";
    }
    return utf8ToUtf16leWithBom(text);
}

#ifndef _WIN32

// Stamp names carry the minute a run started; two runs compare by their running numbers alone.
std::string withoutStartTime(const std::string& text) {
    static const std::regex stamp("[0-9]+-[0-9]+-[0-9]+-[0-9]+-[0-9]+-([0-9]+)\\.");
    return std::regex_replace(text, stamp, "STAMP-$1.");
}

struct Scene : CliScene {
    Scene() : CliScene("cli-journal") {}

    std::string command(const std::string& packagePath, const std::string& options) const {
        return "exec " + inQuotes(program) + " migrate " + inQuotes(packagePath) + " " + inQuotes(folder) +
               " --connect-to " + HOST + ":80:127.0.0.1:" + std::to_string(server.port) + " " + options +
               " >/dev/null 2>" + inQuotes(joinPath(dir, "stderr.txt")) + "";
    }

    pid_t spawn(const std::string& packagePath, const std::string& options) const {
        std::string line = command(packagePath, options);
        const char* argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
        pid_t pid = 0;
        posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ);
        return pid;
    }

    int run(const std::string& packagePath, const std::string& options) const {
        pid_t pid = spawn(packagePath, options);
        int rc = 0;
        waitpid(pid, &rc, 0);
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }

    std::map<std::string, std::string> filesIn(const std::string& where) const {
        std::map<std::string, std::string> all;
        for (const auto& entry : fs::directory_iterator(where))
            if (entry.is_regular_file())
                all[withoutStartTime(entry.path().filename().u8string())] =
                    readWholeFile(utf8ToEngine(entry.path().u8string()));
        return all;
    }

    int partFiles() const {
        int n = 0;
        for (const auto& entry : fs::directory_iterator(folder))
            n += entry.path().extension() == ".part";
        return n;
    }

    void reset(const std::string& original) const {
        for (const auto& entry : fs::directory_iterator(folder))
            fs::remove(entry.path());
        writeWholeFile(package, original);
    }

    std::string text(const std::string& packagePath) const {
        return withoutStartTime(utf16leWithBomToUtf8(readWholeFile(packagePath)));
    }
};

// Repeated titles (numbers that skip the names of earlier items), an address shared by items and
// missing images (numbers given back).
std::string shop(Scene& s, const std::string& tag, int rows, bool missing = true) {
    std::vector<std::pair<std::string, std::vector<std::string>>> all;
    for (int i = 0; i < rows; i++) {
        std::vector<std::string> urls;
        for (int j = 0; j < 4; j++) {
            int k = i * 4 + j;
            std::string path =
                "/" + tag + (missing && k % 7 == 3 ? "/missing/" : "/img/") + std::to_string(k % 41) + ".jpg";
            if (!missing || k % 7 != 3)
                serveResource(s.server, path, jpegBody(600 + static_cast<size_t>(k % 41) * 37, k % 41));
            urls.push_back("http://" + HOST + path);
        }
        all.push_back({"款" + std::to_string(i % 4), urls});
    }
    return packageBytes(all);
}

TEST(CliJournal, KilledAtAnyMomentAndResumedEqualsAnUninterruptedRun) {
    Scene s;
    setReplyDelay(s.server, 4);
    std::string original = shop(s, "k", 12);
    s.reset(original);
    ASSERT_EQ(s.run(s.package, "--connections 1"), 3) << readWholeFile(joinPath(s.dir, "stderr.txt"));
    const std::string wholeText = s.text(s.package);
    const std::map<std::string, std::string> wholeFiles = s.filesIn(s.folder);
    ASSERT_GT(wholeFiles.size(), 30u);
    const std::map<std::string, std::string> programFiles = s.filesIn(s.programDir);

    std::mt19937 random(20261208u);
    auto started = std::chrono::steady_clock::now();
    for (int round = 0; round < 40; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string options = round % 2 ? "--connections 1" : "";
        s.reset(original);
        pid_t pid = s.spawn(s.package, options);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % (round % 2 ? 260 : 100)));
        kill(pid, SIGKILL);
        int rc = 0;
        waitpid(pid, &rc, 0);
        // The resume takes the other connection count half of the time.
        EXPECT_EQ(s.run(s.package, round % 4 < 2 ? options : "--connections 3"), 3);
        EXPECT_EQ(s.text(s.package), wholeText);
        EXPECT_TRUE(s.filesIn(s.folder) == wholeFiles) << "no orphan, no part file, the same names and bytes";
        EXPECT_EQ(s.filesIn(s.dir).size(), 2u) << "beside the package: itself and the run's output only";
        std::map<std::string, std::string> program = s.filesIn(s.programDir);
        program.erase("app.log");
        std::map<std::string, std::string> expected = programFiles;
        expected.erase("app.log");
        EXPECT_EQ(program.size(), expected.size()) << "the journal is gone";
        if (HasFailure()) break;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(150));
}

TEST(CliJournal, ADeadRunsLeftoversGoButALiveRunsPartFilesSurvive) {
    Scene s;
    // The live run has no missing image: a failed download removes its part file itself.
    std::string first = shop(s, "a", 6, false);
    std::string second = shop(s, "b", 6);
    std::string other = joinPath(s.dir, "other.csv");
    writeWholeFile(s.package, first);
    writeWholeFile(other, second);
    // The live run waits for its sixth image (of 24), with the 19 from there on in part files.
    holdPath(s.server, "/a/img/5.jpg", true);
    pid_t live = s.spawn(s.package, "");
    for (int i = 0; i < 400 && s.partFiles() != 19; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int livePartFiles = s.partFiles();
    ASSERT_EQ(livePartFiles, 19);
    // A run of the other package is killed while its part files are held, then run again.
    holdPath(s.server, "/b/img/1.jpg", true);
    pid_t killed = s.spawn(other, "");
    for (int i = 0; i < 400 && s.partFiles() <= livePartFiles; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GT(s.partFiles(), livePartFiles);
    kill(killed, SIGKILL);
    waitpid(killed, nullptr, 0);
    holdPath(s.server, "/b/img/1.jpg", false);
    EXPECT_EQ(s.run(other, ""), 3);
    EXPECT_EQ(s.partFiles(), livePartFiles) << "only the killed run's part files are gone";

    holdPath(s.server, "/a/img/5.jpg", false);
    int rc = 0;
    waitpid(live, &rc, 0);
    EXPECT_EQ(WEXITSTATUS(rc), 0);
    EXPECT_EQ(s.partFiles(), 0);
    EXPECT_EQ(s.text(s.package).find("/a/img/"), std::string::npos) << "the live run's result is whole";
    EXPECT_EQ(s.text(other).find("/b/img/"), std::string::npos);
}

#else

// A scanner-like program holds every new file of the image folder for 300 ms without delete
// sharing: each move and delete of the run waits for it instead of failing.
TEST(CliJournal, AScannerHoldingEveryNewFileCostsNoImageAndLeavesNoPartFile) {
    CliScene s("cli-scanner");
    std::vector<std::pair<std::string, std::vector<std::string>>> rows;
    for (int i = 0; i < 2; i++) {
        std::vector<std::string> urls;
        for (int j = 0; j < 4; j++) {
            std::string path = "/img/" + std::to_string(i * 4 + j) + ".jpg";
            serveResource(s.server, path, jpegBody(900, static_cast<unsigned>(i * 4 + j)));
            urls.push_back("http://" + HOST + path);
        }
        rows.push_back({"scan" + std::to_string(i), urls});
    }
    writeWholeFile(s.package, packageBytes(rows));
    const std::string stop = joinPath(s.dir, "stop-scanner");
    const std::string held = joinPath(s.dir, "held.txt");
    const std::string tool = (fs::path(VEDO_CLI_PATH).parent_path() / "scan-hold.exe").string();
    std::thread scanner([&] {
        std::string line = "\"" + inQuotes(tool) + " " + inQuotes(s.folder) + " 300 " + inQuotes(stop) +
                           " >" + inQuotes(held) + "\"";
        std::system(line.c_str());
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    for (const char* options : {"--connections 1", ""}) {
        SCOPED_TRACE(options);
        // The scanner may still hold the last images: the program's own delete waits for it.
        for (const auto& entry : fs::directory_iterator(s.folder))
            EXPECT_EQ(removeFile(utf8ToEngine(entry.path().u8string()).c_str()), 1);
        writeWholeFile(s.package, packageBytes(rows));
        std::string err = joinPath(s.dir, "stderr.txt");
        std::string line = "\"" + inQuotes(s.program) + " migrate " + inQuotes(s.package) + " " +
                           inQuotes(s.folder) + " --connect-to " + HOST +
                           ":80:127.0.0.1:" + std::to_string(s.server.port) + " " + options + " >NUL 2>" +
                           inQuotes(err) + "\"";
        EXPECT_EQ(std::system(line.c_str()), 0) << readWholeFile(err);
        int images = 0, parts = 0;
        for (const auto& entry : fs::directory_iterator(s.folder)) {
            images += entry.path().extension() == ".jpg";
            parts += entry.path().extension() == ".part";
        }
        EXPECT_EQ(images, 8);
        EXPECT_EQ(parts, 0);
        EXPECT_EQ(utf16leWithBomToUtf8(readWholeFile(s.package)).find("http://"), std::string::npos);
    }
    writeWholeFile(stop, "");
    scanner.join();
    EXPECT_GE(std::atoi(readWholeFile(held).c_str()), 16) << "the scanner held the run's files";
}

#endif

} // namespace
