// vedo-cli migrate beside other runs, on packages it must not or cannot replace, and with paths as
// people type them: the real program against a scripted image server on 127.0.0.1.
#include "support/cliscene.h"
#include "support/testfiles.h"
#include "tools/support/testserver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const std::string HOST = "photos.example.test";

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

std::string inQuotes(const std::string& text) {
    return "\"" + text + "\"";
}

std::string img(const std::string& url) {
    return "<p><img src=\"" + url + "\" /></p>";
}

std::string packageBytes(const std::string& title, const std::string& desc) {
    return utf8ToUtf16leWithBom(
        "version 1.00\r\ntitle\tdescription\twireless_desc\r\n宝贝名称\t宝贝描述\t无线详情\r\n" +
        csvQuoted(title) + "\t" + csvQuoted(desc) + "\t\"\"\r\n");
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (!fs::is_directory(fs::u8path(folder))) return names;
    for (const auto& entry : fs::directory_iterator(fs::u8path(folder)))
        names.push_back(entry.path().filename().u8string());
    std::sort(names.begin(), names.end());
    return names;
}

// A program copy of its own (its app.log and backup folder), a package, an image folder and the
// image server.
struct Scene : CliScene {
    Scene() : CliScene("cli-package-run") {}

    std::string url(const std::string& path) const { return "http://" + HOST + path; }

    // Runs vedo-cli migrate with the given package and folder arguments, from `workDir` when given.
    Outcome run(const std::string& packageArg, const std::string& folderArg, const std::string& tag = "",
                const std::string& workDir = "") const {
        std::string out = joinPath(dir, "stdout" + tag + ".txt");
        std::string err = joinPath(dir, "stderr" + tag + ".txt");
        std::string command = inQuotes(program) + " migrate " + inQuotes(packageArg) + " " +
                              inQuotes(folderArg) + " --connect-to " + HOST +
                              ":80:127.0.0.1:" + std::to_string(server.port) + " >" + inQuotes(out) + " 2>" +
                              inQuotes(err);
#ifdef _WIN32
        if (!workDir.empty()) command = "cd /d " + inQuotes(workDir) + " && " + command;
#else
        if (!workDir.empty()) command = "cd " + inQuotes(workDir) + " && " + command;
#endif
        return {runCommandLine(command), readWholeFile(out), readWholeFile(err)};
    }
    Outcome run() const {
        return run(package, folder);
    }

    std::vector<std::string> backups() const {
        return namesIn(joinPath(programDir, "csv文件备份"));
    }
    int requestCount() {
        return static_cast<int>(receivedRequests(server).size());
    }
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(CliPackageRun, ASecondRunOnAHeldPackageIsRefusedAndTouchesNothing) {
    Scene s;
    // The first run's only image arrives slowly, in 40 pieces a quarter of a second apart: the
    // second run has ten seconds to start and be refused, even on a busy machine under Wine.
    TestReply slow;
    slow.bytes = okReply(jpegBody(4000, 1));
    slow.pieceSize = 100;
    slow.pauseMilliseconds = 250;
    addReply(s.server, slow);
    std::string original = packageBytes("衣", img(s.url("/slow.jpg")));
    writeWholeFile(s.package, original);

    Outcome first{-1, "", ""};
    std::thread firstRun([&] { first = s.run(s.package, s.folder, "-first"); });
    for (int i = 0; i < 600 && s.requestCount() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(s.requestCount(), 1) << "the first run is downloading";

    Outcome second = s.run(s.package, s.folder, "-second");
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(contains(second.err, "数据包正在被另一个搬家任务使用，请等它结束后再试。")) << second.err;
    EXPECT_EQ(s.requestCount(), 1) << "the second run downloads nothing";
    EXPECT_EQ(s.backups(), std::vector<std::string>{"shop(1).csv"}) << "the second run makes no backup";
    EXPECT_EQ(readWholeFile(s.package), original);

    firstRun.join();
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(namesIn(s.folder), std::vector<std::string>{"衣#01.jpg"});
    EXPECT_FALSE(contains(utf16leWithBomToUtf8(readWholeFile(s.package)), "http://"))
        << "the first run wrote back";
    EXPECT_EQ(namesIn(s.dir),
              (std::vector<std::string>{"images", "program", "shop.csv", "stderr-first.txt",
                                        "stderr-second.txt", "stdout-first.txt", "stdout-second.txt"}))
        << "no temporary file is left beside the package";

    // Once the run has ended the package is free again.
    Outcome third = s.run(s.package, s.folder, "-third");
    EXPECT_EQ(third.status, 0) << third.err;
    EXPECT_TRUE(contains(third.out, "没有找到需要搬家的图片。")) << third.out;
}

// The package is taken before anything else is looked at in it: a missing one, or a folder in its
// place, is reported as missing, not as in use, and leaves no backup behind.
TEST(CliPackageRun, AMissingPackageIsMissingNotInUse) {
    Scene s;
    fs::create_directories(fs::u8path(joinPath(s.dir, "folder.csv")));
    for (const char* name : {"none.csv", "folder.csv"}) {
        Outcome o = s.run(joinPath(s.dir, name), s.folder);
        EXPECT_EQ(o.status, 1) << name;
        EXPECT_TRUE(contains(o.err, "选择的csv文件不存在，请重新选择")) << name << o.err;
    }
    EXPECT_TRUE(s.backups().empty());
    EXPECT_EQ(s.requestCount(), 0);
}

TEST(CliPackageRun, AnImageNameThatIsTakenIsPassedOverAndNeverWrittenThrough) {
    Scene s;
    serveResource(s.server, "/a.jpg", jpegBody(500, 2));
    serveResource(s.server, "/b.jpg", jpegBody(500, 3));
    writeWholeFile(s.package, packageBytes("衣", img(s.url("/a.jpg")) + img(s.url("/b.jpg"))));
    // A folder under the first name: no file can be made there, the next number is taken.
    fs::create_directory(fs::u8path(joinPath(s.folder, "衣#01.jpg")));
#ifndef _WIN32
    // A link under the third name that leads nowhere: it must not be written through.
    std::string elsewhere = joinPath(s.dir, "elsewhere.jpg");
    fs::create_symlink(elsewhere, fs::u8path(joinPath(s.folder, "衣#03.jpg")));
#endif
    Outcome run = s.run();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readWholeFile(joinPath(s.folder, utf8ToEngine("衣#02.jpg"))), jpegBody(500, 2));
#ifndef _WIN32
    EXPECT_FALSE(fs::exists(elsewhere)) << "nothing was written through the link";
    EXPECT_TRUE(fs::is_symlink(fs::u8path(joinPath(s.folder, "衣#03.jpg"))));
    EXPECT_EQ(readWholeFile(joinPath(s.folder, utf8ToEngine("衣#04.jpg"))), jpegBody(500, 3));
#else
    EXPECT_EQ(readWholeFile(joinPath(s.folder, utf8ToEngine("衣#03.jpg"))), jpegBody(500, 3));
#endif
}

TEST(CliPackageRun, ReadOnlyAndLinkedPackages) {
    Scene s;
    serveResource(s.server, "/a.jpg", jpegBody(500, 4));
    std::string original = packageBytes("衣", img(s.url("/a.jpg")));
    writeWholeFile(s.package, original);

    // A read-only package is refused before anything happens.
    fs::permissions(fs::u8path(s.package),
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    Outcome run = s.run();
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.err, "数据包(csv文件)是只读的")) << run.err;
    EXPECT_EQ(s.requestCount(), 0);
    EXPECT_TRUE(s.backups().empty());
    EXPECT_EQ(readWholeFile(s.package), original);
    fs::permissions(fs::u8path(s.package), fs::perms::owner_write, fs::perm_options::add);

#ifndef _WIN32
    // A package in a read-only folder: no temporary file can be made beside it.
    std::string locked = joinPath(s.dir, "locked");
    fs::create_directory(locked);
    std::string inLocked = joinPath(locked, "shop.csv");
    writeWholeFile(inLocked, original);
    chmod(locked.c_str(), 0555);
    run = s.run(inLocked, s.folder);
    chmod(locked.c_str(), 0755);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.err, "数据包(csv文件)所在的文件夹不能写入")) << run.err;
    EXPECT_EQ(s.requestCount(), 0);

    // A link to a package elsewhere: the file it leads to is replaced, keeps its permissions, and
    // the link stays a link.
    std::string shelf = joinPath(s.dir, "shelf");
    fs::create_directory(shelf);
    std::string target = joinPath(shelf, "real.csv");
    writeWholeFile(target, original);
    chmod(target.c_str(), 0640);
    std::string link = joinPath(s.dir, "link.csv");
    fs::create_symlink(target, link);
    run = s.run(link, s.folder);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link).string(), target);
    std::string text = utf16leWithBomToUtf8(readWholeFile(target));
    EXPECT_FALSE(contains(text, "http://")) << text;
    EXPECT_TRUE(contains(text, joinPath(s.folder, "衣#01.jpg"))) << text;
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(namesIn(shelf), std::vector<std::string>{"real.csv"});
#endif
}

TEST(CliPackageRun, LongPathsAreWrittenBackOrRefusedBeforeAnyDownload) {
    Scene s;
    serveResource(s.server, "/a.jpg", jpegBody(500, 5));
    // A package path of 259 bytes, the most a path buffer holds.
    std::string deep = s.dir;
    while (deep.size() < 200)
        deep = joinPath(deep, "nested-folder");
    fs::create_directories(deep);
    std::string name = "shop.csv";
    std::string package = joinPath(deep, std::string(259 - deep.size() - 1 - name.size(), 'p') + name);
    ASSERT_EQ(package.size(), 259u);
    writeWholeFile(package, packageBytes("衣", img(s.url("/a.jpg"))));
    Outcome run = s.run(package, s.folder);
    EXPECT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_FALSE(contains(utf16leWithBomToUtf8(readWholeFile(package)), "http://"))
        << "the package was written back";

    // An image folder that leaves no room for the image names is refused before the first download.
    std::string tooDeep = deep;
    while (tooDeep.size() < 230)
        tooDeep = joinPath(tooDeep, "x");
    fs::create_directories(tooDeep);
    writeWholeFile(s.package, packageBytes("衣", img(s.url("/a.jpg"))));
    int before = s.requestCount();
    run = s.run(s.package, tooDeep);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.err, "选择的文件夹路径太长")) << run.err;
    EXPECT_EQ(s.requestCount(), before);
}

TEST(CliPackageRun, RelativeAndForwardSlashPathsBecomeAbsolute) {
    Scene s;
    serveResource(s.server, "/a.jpg", jpegBody(500, 6));
    writeWholeFile(s.package, packageBytes("衣", img(s.url("/a.jpg"))));
    Outcome run = s.run("shop.csv", "images", "", s.dir);
    EXPECT_EQ(run.status, 0) << run.err;
    std::string text = utf16leWithBomToUtf8(readWholeFile(s.package));
    EXPECT_TRUE(contains(text, "\"" + joinPath(s.folder, "衣#01.jpg") + "\"")) << text;
    EXPECT_EQ(s.backups(), std::vector<std::string>{"shop(1).csv"});

#ifdef _WIN32
    // C:/shops/a.csv as PowerShell and Git Bash users type it.
    serveResource(s.server, "/b.jpg", jpegBody(500, 7));
    writeWholeFile(s.package, packageBytes("裤", img(s.url("/b.jpg"))));
    std::string slashed = s.dir;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    run = s.run(slashed + "/shop.csv", slashed + "/images");
    EXPECT_EQ(run.status, 0) << run.err;
    text = utf16leWithBomToUtf8(readWholeFile(s.package));
    EXPECT_TRUE(contains(text, "\"" + joinPath(s.folder, "裤#01.jpg") + "\"")) << text;
    EXPECT_EQ(s.backups(), (std::vector<std::string>{"shop(1).csv", "shop(2).csv"}));
#endif
}
