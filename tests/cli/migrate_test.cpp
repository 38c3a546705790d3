// Runs the real vedo-cli migrate, as a user would, against a scripted image server on 127.0.0.1.
// Each test copies the program into a folder of its own, so that app.log and the backup folder
// beside it belong to that test alone.
#include "support/cliscene.h"
#include "support/testfiles.h"
#include "tools/support/testserver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace {

const std::string SPACE_HOST = "img.alicdn.com";      // the marketplace's image space
const std::string THIRD_HOST = "photos.example.test"; // a third-party album

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

std::string inQuotes(const std::string& path) {
    return "\"" + path + "\"";
}

int exitStatusOf(int rc) {
#ifdef _WIN32
    return rc;
#else
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
}

// A package of items as (title, description markup, mobile markup) in Taobao Assistant's format.
struct Row {
    std::string title;
    std::string desc;
    std::string mobile;
};

std::string packageBytes(const std::vector<Row>& rows) {
    std::string text =
        "version "
        "1.00\r\ntitle\tdescription\twireless_desc\tprice\r\n宝贝名称\t宝贝描述\t无线详情\t宝贝价格\r\n";
    for (const Row& r : rows) {
        text += csvQuoted(r.title) + "\t" + csvQuoted(r.desc) + "\t" + csvQuoted(r.mobile) + "\t10\r\n";
    }
    return utf8ToUtf16leWithBom(text);
}

std::string img(const std::string& url) {
    return "<p><img src=\"" + url + "\" /></p>";
}
std::string wap(const std::vector<std::string>& urls) {
    std::string out = "<wapDesc>";
    for (const auto& u : urls)
        out += "<img>" + u + "</img>";
    return out + "</wapDesc>";
}

struct Scene : CliScene {
    Scene() : CliScene("cli-migrate") {}

    std::string spaceUrl(const std::string& path) const { return "http://" + SPACE_HOST + path; }
    std::string thirdUrl(const std::string& path) const { return "http://" + THIRD_HOST + path; }

    std::string routes() const {
        std::string port = std::to_string(server.port);
        return " --connect-to " + SPACE_HOST + ":80:127.0.0.1:" + port + " --connect-to " + THIRD_HOST +
               ":80:127.0.0.1:" + port;
    }

    // prefix: put before the command on POSIX systems (a "timeout" that bounds the run).
    CliRun run(const std::string& options, const std::string& prefix = "") {
        std::string out = joinPath(dir, "stdout.txt");
        std::string err = joinPath(dir, "stderr.txt");
        std::string command = prefix + inQuotes(program) + " migrate " + inQuotes(package) + " " +
                              inQuotes(folder) + routes() + " " + options + " >" + inQuotes(out) + " 2>" +
                              inQuotes(err);
#ifdef _WIN32
        // cmd /c drops the first and the last quote of a command that begins with one.
        command = "\"" + command + "\"";
#endif
        int rc = std::system(command.c_str());
        return {exitStatusOf(rc), readWholeFile(out), readWholeFile(err)};
    }

    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().u8string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string log() const {
        return engineToUtf8(readWholeFile(joinPath(programDir, "app.log")));
    }

    std::string text() const {
        return utf16leWithBomToUtf8(readWholeFile(package));
    }

    int requestsFor(const std::string& path) {
        int n = 0;
        for (const auto& r : receivedRequests(server)) {
            if (r.text.rfind("GET " + path + " ", 0) == 0) n++;
        }
        return n;
    }
};

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

std::string sep() {
    return std::string(1, fs::path::preferred_separator == L'\\' ? '\\' : '/');
}

TEST(CliMigrate, WholePackageMovedAndRewritten) {
    Scene s;
    serveResource(s.server, "/a/1.jpg", jpegBody(3000, 1));
    serveResource(s.server, "/a/2.png", "\x89PNG" + std::string(500, 'p'));
    serveResource(s.server, "/m/3.jpg", jpegBody(800, 3));
    serveResource(s.server, "/b/4.gif", "GIF89a" + std::string(300, 'g'));
    writeWholeFile(s.package,
                   packageBytes({
                       {"短袖 T恤", img(s.spaceUrl("/a/1.jpg")) + img(s.thirdUrl("/a/2.png")),
                        wap({s.spaceUrl("/m/3.jpg")})},
                       {"长裤", "<div style=\"background:url(" + s.thirdUrl("/b/4.gif") + ")\">x</div>", ""},
                   }));
    CliRun run = s.run("");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("图片搬家已完成，数据包(CSV文件)已更新。"), std::string::npos) << run.out;

    std::vector<std::string> files = s.files();
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(files[1], "短袖-T恤#01.jpg");
    EXPECT_EQ(files[2], "短袖-T恤#02.png");
    EXPECT_EQ(files[3], "长裤#01.gif");
    EXPECT_EQ(files[0].substr(files[0].size() - 6), "-1.jpg")
        << "mobile images get stamp names: " << files[0];
    EXPECT_EQ(readWholeFile(joinPath(s.folder, utf8ToEngine("短袖-T恤#01.jpg"))), jpegBody(3000, 1));

    std::string text = s.text();
    EXPECT_EQ(text.find("http://"), std::string::npos) << text;
    EXPECT_NE(text.find(s.folder + sep() + "短袖-T恤#01.jpg"), std::string::npos) << text;
    EXPECT_NE(text.find("<img>" + s.folder + sep() + files[0] + "</img>"), std::string::npos) << text;

    // The numbered backup beside the program holds the package as it was.
    std::string backup = joinPath(joinPath(s.programDir, utf8ToEngine("csv文件备份")), "shop(1).csv");
    EXPECT_NE(readWholeFile(backup).find(std::string("h\0t\0t\0p\0", 8)), std::string::npos);

    // A second run finds nothing left to move and leaves the package alone.
    std::string before = readWholeFile(s.package);
    run = s.run("");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("没有找到需要搬家的图片。"), std::string::npos) << run.out;
    EXPECT_EQ(readWholeFile(s.package), before);
}

TEST(CliMigrate, SharedAddressIsFetchedOnceAndRewrittenEverywhere) {
    Scene s;
    serveResource(s.server, "/shared.jpg", jpegBody(2000, 7));
    std::string shared = s.thirdUrl("/shared.jpg");
    writeWholeFile(s.package, packageBytes({{"一", img(shared), ""},
                                            {"二", img(shared), wap({shared})},
                                            {"三", img(shared) + img(shared), ""}}));
    CliRun run = s.run("--json");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(s.requestsFor("/shared.jpg"), 1);
    EXPECT_EQ(s.files().size(), 1u);
    std::string text = s.text();
    EXPECT_EQ(occurrences(text, s.folder + sep() + "一#01.jpg"), 5u) << text;
    EXPECT_EQ(run.out.rfind("{\"total\":3,\"finished\":3,\"failureCount\":0,\"packageChanged\":true,", 0), 0u)
        << run.out;
}

// The default mode moves the http images and names the https ones it left in its last message line
// and in the report; a CA file that cannot be read is refused before anything is done.
TEST(CliMigrate, HttpsAddressesLeftByTheDefaultMode) {
    Scene s;
    serveResource(s.server, "/a.jpg", jpegBody(500, 1));
    const std::string secure = "https://" + SPACE_HOST + "/s.jpg";
    writeWholeFile(
        s.package,
        packageBytes({{"一", img(s.spaceUrl("/a.jpg")) + img(secure) + img("//" + THIRD_HOST + "/t.jpg"),
                       wap({secure, "//" + SPACE_HOST + "/m.jpg"})}}));
    const std::string left =
        "数据包中还有3个https图片地址未搬家，勾选[同时搬家https图片地址]后再次搬家即可。";
    CliRun run = s.run("");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("图片搬家已完成，数据包(CSV文件)已更新。\n\n" + left + "\n"), std::string::npos)
        << run.out;
    EXPECT_EQ(s.files(), std::vector<std::string>{"一#01.jpg"});
    EXPECT_NE(s.text().find(secure), std::string::npos) << "left as written";

    run = s.run("--only-third-party --json");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("{\"total\":1,\"finished\":1,\"failureCount\":0,\"packageChanged\":false,"
                            "\"httpsImagesLeft\":1,\"message\":\"没有找到需要搬家的图片。\\n\\n" +
                                std::string(left).replace(left.find('3'), 1, "1") + "\"",
                            0),
              0u)
        << run.out;

    const std::string before = readWholeFile(s.package);
    run = s.run("--https --cacert " + inQuotes(joinPath(s.dir, "missing-ca.pem")));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("missing-ca.pem"), std::string::npos) << run.err;
    EXPECT_EQ(readWholeFile(s.package), before);
    EXPECT_EQ(s.run("--cacert").status, 2) << "a usage error";
}

// A CA file that is a folder or a pipe is refused at once with its reason, never read (a pipe
// nobody writes to would hold the program for ever).
TEST(CliMigrate, CaFileThatIsNoRegularFileEndsTheRunAtOnce) {
    Scene s;
    std::vector<std::string> paths = {s.folder};
    std::string bound;
#ifndef _WIN32
    paths.push_back(joinPath(s.dir, "ca.fifo"));
    ASSERT_EQ(mkfifo(paths.back().c_str(), 0600), 0);
    bound = "timeout 60 ";
#endif
    for (const std::string& path : paths) {
        // A run held by the pipe would end by the time-out with status 124.
        CliRun run = s.run("--https --cacert " + inQuotes(path), bound);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find("不是普通文件"), std::string::npos) << run.err;
    }
}

TEST(CliMigrate, SharedAddressThatFailsIsCountedOnce) {
    Scene s;
    std::string missing = s.thirdUrl("/gone.jpg");
    serveResource(s.server, "/ok.jpg", jpegBody(500, 2));
    writeWholeFile(s.package, packageBytes({{"一", img(missing) + img(s.thirdUrl("/ok.jpg")), ""},
                                            {"二", img(missing), ""},
                                            {"三", "", wap({missing})}}));
    std::string before = readWholeFile(s.package);
    CliRun run = s.run("--json");
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_EQ(s.requestsFor("/gone.jpg"), 2) << "one download: a keep-alive attempt and its close-mode retry";
    EXPECT_NE(run.out.find("\"failureCount\":1,"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"title\":\"一\",\"status\":2,\"descFailures\":[\"" + missing +
                           "\"],\"mobileFailures\":null"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"title\":\"二\",\"status\":2,\"descFailures\":[\"" + missing + "\"]"),
              std::string::npos);
    EXPECT_NE(run.out.find("\"title\":\"三\",\"status\":2,\"descFailures\":null,\"mobileFailures\":[\"" +
                           missing + "\"]"),
              std::string::npos);
    EXPECT_EQ(occurrences(s.log(), "搬家失败：" + missing + "，返回的错误信息："), 1u) << s.log();
    EXPECT_NE(readWholeFile(s.package), before) << "the saved image was rewritten";
    EXPECT_EQ(occurrences(s.text(), missing), 3u) << "the failed address stays for a later run";
    // The next image of the item reuses the number of the failed one.
    EXPECT_EQ(s.files(), std::vector<std::string>{"一#01.jpg"});
}

TEST(CliMigrate, EveryDownloadFailing) {
    Scene s;
    std::vector<Row> rows = {{"一", img(s.thirdUrl("/x.jpg")), wap({s.spaceUrl("/y.jpg")})},
                             {"二", img(s.spaceUrl("/z.jpg")), ""}};
    writeWholeFile(s.package, packageBytes(rows));
    std::string before = readWholeFile(s.package);
    CliRun run = s.run("");
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.out.find("图片搬家失败，没有找到搬家成功的图片。"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("[宝贝描述]图片搬家失败列表"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("[无线详情]图片搬家失败列表"), std::string::npos) << run.out;
    EXPECT_EQ(readWholeFile(s.package), before) << "nothing to write: the package stays byte for byte";

    run = s.run("--blank-failed");
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.out.find("图片搬家已完成，数据包(CSV文件)已更新。"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("注意"), std::string::npos) << "the short completion message";
    std::string text = s.text();
    EXPECT_EQ(text.find(THIRD_HOST), std::string::npos) << text;
    EXPECT_EQ(occurrences(text, "http://img.alicdn.com/imgextra/i1/T1_blank1.jpg"), 2u) << text;
    EXPECT_NE(text.find("<wapDesc></wapDesc>"), std::string::npos) << "the failed mobile element is removed";
}

TEST(CliMigrate, OnlyOneSourceOfImages) {
    Scene s;
    serveResource(s.server, "/s.jpg", jpegBody(400, 1));
    serveResource(s.server, "/t.jpg", jpegBody(400, 2));
    serveResource(s.server, "/m.jpg", jpegBody(400, 3));
    std::vector<Row> rows = {
        {"一", img(s.spaceUrl("/s.jpg")) + img(s.thirdUrl("/t.jpg")), wap({s.thirdUrl("/m.jpg")})}};

    writeWholeFile(s.package, packageBytes(rows));
    CliRun run = s.run("--only-image-space --json");
    EXPECT_EQ(run.status, 0) << run.err;
    std::string text = s.text();
    EXPECT_EQ(text.find(s.spaceUrl("/s.jpg")), std::string::npos);
    EXPECT_NE(text.find(s.thirdUrl("/t.jpg")), std::string::npos) << "third-party description images stay";
    EXPECT_EQ(text.find(s.thirdUrl("/m.jpg")), std::string::npos) << "mobile images move whatever their host";
    EXPECT_NE(run.out.find("\"failureCount\":0"), std::string::npos);

    removeTree(s.folder);
    fs::create_directories(s.folder);
    writeWholeFile(s.package, packageBytes(rows));
    run = s.run("--only-third-party");
    EXPECT_EQ(run.status, 0) << run.err;
    text = s.text();
    EXPECT_NE(text.find(s.spaceUrl("/s.jpg")), std::string::npos) << "image-space description images stay";
    EXPECT_EQ(text.find(s.thirdUrl("/t.jpg")), std::string::npos);
    EXPECT_NE(text.find(s.thirdUrl("/m.jpg")), std::string::npos) << "no mobile image moves";
    EXPECT_EQ(s.files(), std::vector<std::string>{"一#01.jpg"});

    EXPECT_EQ(s.run("--only-image-space --only-third-party").status, 2);
}

TEST(CliMigrate, RefusesToStartOnBadInput) {
    Scene s;
    writeWholeFile(s.package, packageBytes({{"一", "", ""}}));
    std::string folder = s.folder;
    s.folder = joinPath(s.dir, "no-such-folder");
    CliRun run = s.run("");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("选择的文件夹不存在，请重新选择"), std::string::npos) << run.err;
    s.folder = folder;

    writeWholeFile(s.package, "ver not a package");
    run = s.run("");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");

    s.package = joinPath(s.dir, "missing.csv");
    EXPECT_EQ(s.run("").status, 1);
    EXPECT_EQ(s.run("--connect-to nonsense").status, 2);
}

TEST(CliMigrate, TitleTooLongForTheNumberedPathGetsStampNames) {
    Scene s;
    // A deep folder and a 120-byte title leave no room for "title#01.jpg" in a 260-byte path.
    std::string deep = s.folder;
    for (int i = 0; i < 6; i++)
        deep = joinPath(deep, "nested-folder-" + std::to_string(i));
    fs::create_directories(deep);
    s.folder = deep;
    ASSERT_LT(deep.size() + 20, 259u);
    ASSERT_GT(deep.size() + 120 + 8, 259u);
    serveResource(s.server, "/long.jpg", jpegBody(600, 9));
    writeWholeFile(s.package, packageBytes({{std::string(120, 'L'), img(s.thirdUrl("/long.jpg")), ""}}));
    CliRun run = s.run("");
    EXPECT_EQ(run.status, 0) << run.err << run.out;
    std::vector<std::string> files = s.files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].find('#'), std::string::npos) << files[0];
    EXPECT_EQ(s.text().find("http://"), std::string::npos);
}

#ifndef _WIN32

pid_t spawnMigrate(Scene& s, const std::string& options) {
    std::string command = "exec " + inQuotes(s.program) + " migrate " + inQuotes(s.package) + " " +
                          inQuotes(s.folder) + s.routes() + " " + options + " >" +
                          inQuotes(joinPath(s.dir, "stdout.txt")) + " 2>" +
                          inQuotes(joinPath(s.dir, "stderr.txt"));
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ);
    return pid;
}

TEST(CliMigrate, StoppedRunWritesBackAndTheNextRunContinues) {
    Scene s;
    std::vector<std::string> urls;
    std::string desc;
    for (int i = 1; i <= 6; i++) {
        std::string path = "/slow/" + std::to_string(i) + ".jpg";
        urls.push_back(s.thirdUrl(path));
        desc += img(urls.back());
        // Each image takes about half a second to arrive.
        TestReply slow;
        slow.bytes = okReply(jpegBody(4000, static_cast<unsigned>(i)));
        slow.pieceSize = 400;
        slow.pauseMilliseconds = 50;
        addReply(s.server, slow);
        serveResource(s.server, path, jpegBody(4000, static_cast<unsigned>(i)));
    }
    writeWholeFile(s.package, packageBytes({{"慢", desc, ""}, {"后", img(urls[0]), ""}}));

    // One connection: the scripted slow replies go to the images in package order.
    pid_t pid = spawnMigrate(s, "--json --connections 1");
    // Interrupt once two images are saved and the third is under way: the stop cuts that one off.
    for (int i = 0; i < 200 && s.files().size() < 3; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_EQ(kill(pid, SIGINT), 0);
    int rc = 0;
    waitpid(pid, &rc, 0);
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_EQ(WEXITSTATUS(rc), 130);
    std::string out = readWholeFile(joinPath(s.dir, "stdout.txt"));
    EXPECT_NE(out.find("\"finished\":0,"), std::string::npos) << out;

    size_t saved = s.files().size();
    ASSERT_GE(saved, 2u);
    ASSERT_LT(saved, 6u);
    std::string text = s.text();
    EXPECT_EQ(text.find(urls[0]), std::string::npos) << "what was saved is rewritten in every item";
    EXPECT_NE(text.find(urls[5]), std::string::npos) << "what was not saved stays for the next run";

    // The second run fetches only what is left and numbers after the files already there.
    size_t before = receivedRequests(s.server).size();
    CliRun run = s.run("");
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<LoggedRequest> all = receivedRequests(s.server);
    std::set<std::string> fetched;
    for (size_t i = before; i < all.size(); i++)
        fetched.insert(all[i].text.substr(0, all[i].text.find(" HTTP")));
    EXPECT_EQ(fetched.size(), 6 - saved);
    EXPECT_EQ(fetched.count("GET /slow/1.jpg"), 0u);
    std::vector<std::string> files = s.files();
    EXPECT_EQ(files.size(), 6u);
    EXPECT_EQ(files.back(), "慢#06.jpg");
    EXPECT_EQ(s.text().find("http://"), std::string::npos);
}

TEST(CliMigrate, FullDiskStopsTheRunAndKeepsWhatWasSaved) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    Scene s;
    if (mount("tmpfs", s.folder.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    serveResource(s.server, "/small.jpg", jpegBody(8000, 1));
    serveResource(s.server, "/big.jpg", jpegBody(200000, 2));
    serveResource(s.server, "/never.jpg", jpegBody(100, 3));
    writeWholeFile(s.package,
                   packageBytes({{"一", img(s.thirdUrl("/small.jpg")) + img(s.thirdUrl("/big.jpg")), ""},
                                 {"二", img(s.thirdUrl("/never.jpg")), ""}}));
    // One connection: the image after the failing one is never asked for.
    CliRun run = s.run("--connections 1");
    umount2(s.folder.c_str(), MNT_DETACH);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("写入文件时出错，请检查硬盘可用空间是否已不足。"), std::string::npos) << run.err;
    std::string text = s.text();
    EXPECT_EQ(text.find(s.thirdUrl("/small.jpg")), std::string::npos)
        << "the image saved before is referenced";
    EXPECT_NE(text.find(s.thirdUrl("/big.jpg")), std::string::npos);
    EXPECT_NE(text.find(s.thirdUrl("/never.jpg")), std::string::npos);
    EXPECT_EQ(s.requestsFor("/never.jpg"), 0);
}

#endif

} // namespace
