// vedo-cli migrate behind a proxy: the same package and files as a direct run, whichever setting
// names the proxy, with the proxy named in the log and the report and its password in neither.
#include "support/cliscene.h"
#include "support/internetoptions.h"
#include "support/testfiles.h"
#include "tools/support/testproxy.h"
#include "tools/support/testserver.h"
#include "tools/support/wholefile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

namespace {

const char* const PASSWORD = "s3cret-pw";

struct Outcome {
    int status;
    std::string out, err, package, log;
    std::map<std::string, std::string> files;
};

std::string inQuotes(const std::string& text) {
    return "\"" + text + "\"";
}

// Runs vedo-cli migrate on a fresh copy of the package with the options; what it left behind.
Outcome migrate(CliScene& s, const std::string& original, const std::string& options) {
    for (const auto& entry : std::filesystem::directory_iterator(s.folder))
        std::filesystem::remove(entry.path());
    std::filesystem::remove(joinPath(s.programDir, "app.log"));
    writeWholeFile(s.package, original);
    std::string out = joinPath(s.dir, "out.txt"), err = joinPath(s.dir, "err.txt");
    std::string line = inQuotes(s.program) + " migrate " + inQuotes(s.package) + " " + inQuotes(s.folder) +
                       " --https --json --cacert " + inQuotes(std::string(VEDO_TEST_CERT_DIR) + "/ca.pem") +
                       " " + options + " >" + inQuotes(out) + " 2>" + inQuotes(err);
    int status = runCommandLine(line);
    static const std::regex stamp("[0-9]+-[0-9]+-[0-9]+-[0-9]+-[0-9]+-([0-9]+)\\.");
    Outcome o{status,
              readWholeFile(out),
              readWholeFile(err),
              std::regex_replace(utf16leWithBomToUtf8(readWholeFile(s.package)), stamp, "STAMP-$1."),
              readWholeFile(joinPath(s.programDir, "app.log")),
              {}};
    for (const auto& entry : std::filesystem::directory_iterator(s.folder))
        o.files[std::regex_replace(entry.path().filename().u8string(), stamp, "STAMP-$1.")] =
            readWholeFile(utf8ToEngine(entry.path().u8string()));
    return o;
}

TEST(CliProxy, EverySettingThatNamesTheProxyMovesThePackageAsADirectRun) {
    CliScene s("cli-proxy");
    TestServer tls;
    TestProxy proxy;
    const std::string certificates = VEDO_TEST_CERT_DIR;
    ASSERT_EQ(startTlsTestServer(tls, certificates + "/server.pem", certificates + "/server.key"), 1);
    ASSERT_EQ(startTestProxy(proxy), 1);
    const std::string tlsTarget = "127.0.0.1:" + std::to_string(tls.port);
    mapProxyHost(proxy, "img.example.test:443", tlsTarget);
    const std::string plain = "http://127.0.0.1:" + std::to_string(s.server.port);
    const std::string local = "http://localhost:" + std::to_string(s.server.port);
    std::string desc, mobile;
    for (int i = 0; i < 4; i++) {
        std::string path = "/" + std::to_string(i) + ".jpg";
        serveResource(s.server, path, jpegBody(9000, 100u + static_cast<unsigned>(i)));
        serveResource(tls, path, jpegBody(7000, 200u + static_cast<unsigned>(i)));
        desc += "<img src=\"\"" + plain + path + "\"\" /><img src=\"\"https://img.example.test" + path +
                "\"\" />";
        mobile += "<img>" + local + path + "</img>";
    }
    const std::string original =
        utf8ToUtf16leWithBom("version "
                             "1.00\r\ntitle\tdescription\twireless_"
                             "desc\tprice\r\n宝贝名称\t宝贝描述\t无线详情\t宝贝价格\r\n宝贝\t\"" +
                             desc + "\"\t\"<wapDesc>" + mobile + "</wapDesc>\"\t10\r\n");

    Outcome direct = migrate(s, original, "--connect-to img.example.test:443:" + tlsTarget);
    ASSERT_EQ(direct.status, 0) << direct.err;
    ASSERT_EQ(direct.files.size(), 12u);

    const std::string proxyAddress = "127.0.0.1:" + std::to_string(proxy.port);
    const std::string withPassword = proxyUrl(proxy, std::string("seller:") + PASSWORD);
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, std::string>> environment;
        std::string options;
        bool authenticated;
        const char* registry; // the Internet Options: "server" or "script" (Windows); nullptr for none
        const char* source;
    };
    std::vector<Case> cases = {
        {"--proxy",
         {{"http_proxy", "http://127.0.0.1:1"}},
         "--proxy " + withPassword + " --noproxy localhost",
         true,
         nullptr,
         "option"},
        {"environment",
         {{"http_proxy", withPassword}, {"HTTPS_PROXY", withPassword}, {"no_proxy", "localhost"}},
         "",
         true,
         nullptr,
         "environment"},
#ifdef _WIN32
        {"Internet Options", {}, "", false, "server", "system"},
        {"an auto-configuration script", {}, "", false, "script", "auto-config"},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            std::lock_guard<std::mutex> lock(proxy.mutex);
            proxy.requiredAuthorization.clear();
            proxy.requestLines.clear();
        }
        if (c.authenticated) requireProxyBasicAuth(proxy, "seller", PASSWORD);
        for (const auto& variable : c.environment)
            setEnvironmentVariable(variable.first, variable.second.c_str());
#ifdef _WIN32
        std::unique_ptr<InternetOptionsProxy> options;
        if (c.registry) {
            // The script sends what the bypass list would send direct, and only that, direct.
            serveResource(
                s.server, "/proxy.pac",
                "function FindProxyForURL(url, host) { if (isPlainHostName(host)) return \"DIRECT\"; "
                "return \"PROXY " +
                    proxyAddress + "\"; }");
            std::string server = "http=" + proxyAddress + ";https=" + proxyAddress + ";ftp=127.0.0.1:1";
            std::string script = std::string(c.registry) == "script" ? plain + "/proxy.pac" : "";
            options.reset(new InternetOptionsProxy(1, std::wstring(server.begin(), server.end()),
                                                   L"*.example.invalid;<local>",
                                                   std::wstring(script.begin(), script.end())));
        }
#endif
        Outcome through = migrate(s, original, c.options);
        for (const auto& variable : c.environment)
            setEnvironmentVariable(variable.first, nullptr);

        EXPECT_EQ(through.status, 0) << through.err << through.log;
        EXPECT_EQ(through.package, direct.package);
        EXPECT_EQ(through.files, direct.files);
        std::vector<std::string> lines = proxyRequestLines(proxy);
        int forwarded = 0, tunnels = 0;
        for (const std::string& line : lines) {
            forwarded += line.rfind("GET " + plain + "/", 0) == 0;
            tunnels += line == "CONNECT img.example.test:443 HTTP/1.1";
            EXPECT_EQ(line.find("localhost"), std::string::npos) << "a bypassed host goes direct: " << line;
        }
        EXPECT_EQ(forwarded, 4);
        EXPECT_GE(tunnels, 1);
        EXPECT_NE(through.log.find(proxyAddress), std::string::npos) << "the log names the proxy";
        // A script names a proxy per server: the report names none for the run as a whole.
        std::string named = std::string(c.source) == "auto-config" ? "" : proxyAddress;
        EXPECT_NE(through.out.find("\"proxy\":{\"source\":\"" + std::string(c.source) + "\",\"http\":\"" +
                                   named + "\",\"https\":\"" + named + "\"}"),
                  std::string::npos)
            << through.out.substr(0, 400);
        for (const std::string* text : {&through.log, &through.out, &through.err})
            EXPECT_EQ(text->find(PASSWORD), std::string::npos) << "the password stays out of every output";
    }

    // A proxy that refuses fails the images it refuses, with its answer in the log; the hosts that
    // go direct are moved all the same.
    struct Refusal {
        const char* what;
        void (*script)(TestProxy&);
        const char* answer;
        size_t files;
    };
    const Refusal refusals[] = {
        {"407", [](TestProxy& p) { answerEvery407(p, true); }, "HTTP/1.1 407", 4},
        {"CONNECT refused", [](TestProxy& p) { refuseConnectToPort(p, 443); }, "HTTP/1.1 403", 8},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        {
            std::lock_guard<std::mutex> lock(proxy.mutex);
            proxy.requiredAuthorization.clear();
            proxy.alwaysAnswer407 = false;
            proxy.refusedConnectPorts.clear();
        }
        r.script(proxy);
        Outcome refused = migrate(s, original, "--proxy " + proxyUrl(proxy) + " --noproxy localhost");
        EXPECT_EQ(refused.status, 3) << refused.err;
        EXPECT_NE(refused.log.find(r.answer), std::string::npos);
        EXPECT_EQ(refused.files.size(), r.files);
    }
    stopTestProxy(proxy);
    stopTestServer(tls);
}

} // namespace
