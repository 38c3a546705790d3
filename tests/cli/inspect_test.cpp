// Runs the real vedo-cli binary on packages written for each test.
#include "support/testfiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

struct CliFolder {
    std::string dir = makeTempDir("cli-inspect");
    ~CliFolder() { removeTree(dir); }

    // Writes a file named in UTF-8 and returns its path as the command line spells it.
    std::string write(const std::string& name, const std::string& bytes) {
        writeWholeFile(joinPath(dir, utf8ToEngine(name)), bytes);
        return joinPath(dir, name);
    }

    CliRun run(const std::string& arguments) {
        std::string out = joinPath(dir, "stdout.txt");
        std::string err = joinPath(dir, "stderr.txt");
        std::string command =
            "\"" + std::string(VEDO_CLI_PATH) + "\" " + arguments + " >\"" + out + "\" 2>\"" + err + "\"";
#ifdef _WIN32
        // cmd /c drops the first and the last quote of a command that begins with one.
        command = "\"" + command + "\"";
#endif
        int rc = std::system(command.c_str());
#ifdef _WIN32
        int status = rc;
#else
        int status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
#endif
        return {status, readWholeFile(out), readWholeFile(err)};
    }
};

std::string quoted(const std::string& path) {
    return "\"" + path + "\"";
}

const std::string A = "http://img.alicdn.com/imgextra/i1/1/a.jpg";
const std::string B = "http://shop.example.cn/b.png";

// Two items: a title with quotes and a backslash, both address lists, then an item without images.
std::string twoItems(bool withMobile) {
    std::string header =
        withMobile ? "宝贝名称\t宝贝描述\t无线详情\t宝贝价格" : "宝贝名称\t宝贝描述\t宝贝价格";
    std::string mobile = withMobile ? "\t\"<wapDesc><img>" + B + "</img></wapDesc>\"" : "";
    std::string empty = withMobile ? "\t\"\"" : "";
    return utf8ToUtf16leWithBom("version 1.00\r\n" + header + "\r\n" +
                                "\"杯 \"\"大\"\" \\\"\t\"<img src=\"\"" + A + "\"\"><td background=" + B +
                                ">\"" + mobile + "\t9\r\n" + "\"碗\"\t\"<p>无图</p>\"" + empty + "\t1\r\n");
}

TEST(CliInspect, JsonDocument) {
    CliFolder folder;
    CliRun run = folder.run("inspect " + quoted(folder.write("shop.csv", twoItems(true))) + " --json");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "{\"items\":[{\"index\":0,\"title\":\"杯 \\\"\\\"大\\\"\\\" \\\\\",\"descImages\":[\"" + A +
                  "\",\"" + B + "\"],\"mobileImages\":[\"" + B +
                  "\"]},{\"index\":1,\"title\":\"碗\",\"descImages\":[],\"mobileImages\":[]}]}\n");
    EXPECT_EQ(run.err, "");

    run = folder.run("inspect --json " + quoted(folder.write("plain.csv", twoItems(false))));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(
        run.out.find(
            "\"mobileImages\":null},{\"index\":1,\"title\":\"碗\",\"descImages\":[],\"mobileImages\":null}"),
        std::string::npos)
        << run.out;
}

TEST(CliInspect, TextListing) {
    CliFolder folder;
#ifdef _WIN32
    const std::string name = "shop.csv";
#else
    const std::string name = "店铺 数据.csv"; // the path reaches the engine as its own text and back
#endif
    CliRun run = folder.run("inspect " + quoted(folder.write(name, twoItems(true))));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "[0] 杯 \"\"大\"\" \\\n"
                       "  description images (2):\n"
                       "    " +
                           A +
                           "\n"
                           "    " +
                           B +
                           "\n"
                           "  mobile images (1):\n"
                           "    " +
                           B +
                           "\n"
                           "[1] 碗\n"
                           "  description images (0):\n"
                           "  mobile images (0):\n"
                           "items: 2\n");
}

TEST(CliInspect, BundledSample) {
    CliFolder folder;
    CliRun run = folder.run("inspect " + quoted(std::string(VEDO_SOURCE_DIR) + "/samples/sample-shop.csv") +
                            " --json");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("{\"items\":[{\"index\":0,", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("\"index\":3,"), std::string::npos);
}

// A package of https and protocol-relative addresses: the default lists none of them and says how
// many it left; --https lists them as written.
TEST(CliInspect, HttpsAddresses) {
    CliFolder folder;
    const std::string s = "https://img.alicdn.com/imgextra/i1/1/s.jpg";
    const std::string r = "//shop.example.cn/r.png";
    const std::string path = quoted(folder.write(
        "https.csv", utf8ToUtf16leWithBom(
                         "version 1.00\n宝贝名称\t宝贝描述\t无线详情\n\"杯\"\t\"<img src=\"\"" + s +
                         "\"\"><td background=" + r + ">\"\t\"<wapDesc><img>" + s + "</img></wapDesc>\"\n")));
    CliRun standard = folder.run("inspect " + path);
    EXPECT_EQ(standard.status, 0) << standard.err;
    EXPECT_EQ(standard.out, "[0] 杯\n  description images (0):\n  mobile images (0):\nitems: 1\n"
                            "https image addresses left (read with --https to collect them): 2\n");
    CliRun json = folder.run("inspect --json " + path);
    EXPECT_EQ(json.out, "{\"items\":[{\"index\":0,\"title\":\"杯\",\"descImages\":[],\"mobileImages\":[]}],"
                        "\"httpsImagesLeft\":2}\n");

    CliRun secure = folder.run("inspect --https " + path + " --json");
    EXPECT_EQ(secure.status, 0) << secure.err;
    EXPECT_EQ(secure.out, "{\"items\":[{\"index\":0,\"title\":\"杯\",\"descImages\":[\"" + s + "\",\"" + r +
                              "\"],\"mobileImages\":[\"" + s + "\"]}]}\n");
}

TEST(CliInspect, FailuresAndUsage) {
    CliFolder folder;
    CliRun missing = folder.run("inspect " + quoted(joinPath(folder.dir, "missing.csv")) + " --json");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "") << "nothing on standard output, so no half document";
    EXPECT_NE(missing.err.find("missing.csv"), std::string::npos) << missing.err;

    std::string unterminated = twoItems(true);
    unterminated.resize(unterminated.size() - 4); // the last CR LF
    CliRun broken = folder.run("inspect " + quoted(folder.write("broken.csv", unterminated)));
    EXPECT_EQ(broken.status, 1);
    EXPECT_NE(broken.err.find("broken.csv"), std::string::npos) << broken.err;

    EXPECT_EQ(folder.run("").status, 2);
    EXPECT_EQ(folder.run("inspect").status, 2);
    EXPECT_EQ(folder.run("inspect a.csv b.csv").status, 2);
    EXPECT_EQ(folder.run("inspect a.csv --xml").status, 2);
    EXPECT_EQ(folder.run("frobnicate").status, 2);

    // app.log lives beside the binary and holds the reason.
    std::string cli = VEDO_CLI_PATH;
    std::string log = readWholeFile(cli.substr(0, cli.find_last_of("/\\")) + "/app.log");
    EXPECT_NE(log.find(utf8ToEngine("读取数据包失败")), std::string::npos);
}

} // namespace
