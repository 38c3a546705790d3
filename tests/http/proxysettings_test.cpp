// The user's own proxy settings of the system: on Windows the Internet Options in the registry and
// WinHTTP's evaluation of an auto-configuration script; elsewhere none.
#include "platform/proxysettings.h"

#include "core/scope.h"
#include "http/connection.h"
#include "tools/support/testserver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include "support/internetoptions.h"

#include <windows.h>

namespace {

// One value as a case writes it: REG_NONE leaves it out; text is stored with its closing NUL
// unless cut (as some programs store it), and as raw bytes for REG_BINARY.
struct WrittenValue {
    DWORD type;
    std::wstring text = {};
    DWORD number = 0;
    int cut = 0;
};

void writeValue(HKEY key, const wchar_t* name, const WrittenValue& value) {
    if (value.type == REG_NONE) RegDeleteValueW(key, name);
    if (value.type == REG_DWORD)
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value.number), sizeof(DWORD));
    const size_t units = value.text.size() + (value.type == REG_BINARY || value.cut ? 0 : 1);
    if (value.type != REG_NONE && value.type != REG_DWORD)
        RegSetValueExW(key, name, 0, value.type, reinterpret_cast<const BYTE*>(value.text.c_str()),
                       static_cast<DWORD>(units * sizeof(wchar_t)));
}

std::string textOf(const char* text) {
    return text ? text : "-";
}

} // namespace

TEST(SystemProxySettingsTest, TheUsersInternetOptionsReadBackAsWritten) {
    InternetOptionsProxy keep(0, L"", L""); // puts back whatever was there
    HKEY key = InternetOptionsProxy::openKey();
    ASSERT_NE(key, nullptr);
    auto closeKey = onScopeExit([&] { RegCloseKey(key); });
    const wchar_t* const names[] = {L"ProxyEnable", L"ProxyServer", L"ProxyOverride", L"AutoConfigURL"};
    const WrittenValue none{REG_NONE};
    struct Case {
        WrittenValue written[4]; // in the order of names
        int enabled;
        const char* read; // server | bypass | autoConfigUrl, "-" for unset
    };
    const Case cases[] = {
        // All set; disabled with the server kept; a per-scheme server as written, Chinese text in
        // UTF-8, an expandable text not expanded.
        {{{REG_DWORD, L"", 1}, {REG_SZ, L"p:8080"}, {REG_SZ, L"a.example;<local>"}, {REG_SZ, L"http://w/p"}},
         1,
         "p:8080 | a.example;<local> | http://w/p"},
        {{{REG_DWORD, L"", 0}, {REG_SZ, L"p:8080"}, none, none}, 0, "p:8080 | - | -"},
        {{{REG_DWORD, L"", 7},
          {REG_SZ, L"http=h:80;https=h:443"},
          {REG_SZ, L"图片.cn"},
          {REG_EXPAND_SZ, L"%H%"}},
         1,
         "http=h:80;https=h:443 | 图片.cn | %H%"},
        // Unset and empty; wrong types read as unset; a text stored without its NUL is read whole.
        {{none, {REG_SZ, L""}, none, none}, 0, "- | - | -"},
        {{{REG_SZ, L"1"}, {REG_DWORD, L"", 80}, {REG_BINARY, L"a.example"}, {REG_SZ, L"http://w/p", 0, 1}},
         0,
         "- | - | http://w/p"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.read);
        for (int i = 0; i < 4; i++)
            writeValue(key, names[i], c.written[i]);
        SystemProxySettings settings;
        ASSERT_EQ(readSystemProxySettings(&settings), 1);
        auto release = onScopeExit([&] { freeSystemProxySettings(&settings); });
        EXPECT_EQ(settings.enabled, c.enabled);
        EXPECT_EQ(textOf(settings.server) + " | " + textOf(settings.bypass) + " | " +
                      textOf(settings.autoConfigUrl),
                  c.read);
    }
}

// WinHTTP fetches the script from the test server and runs it; a script server that is not there
// fails at once, one that never answers holds the caller no longer than the bound, or until a stop.
// The system keeps a script it fetched for a while: every failing case has an address of its own.
TEST(AutoConfigScriptTest, TheSystemAnswersOrFailsWithinTheBound) {
    TestServer server;
    ASSERT_EQ(startTestServer(server), 1);
    serveResource(server, "/proxy.pac",
                  "function FindProxyForURL(url, host) { if (host == \"localhost\") return \"DIRECT\"; "
                  "return \"PROXY 127.0.0.1:3128; DIRECT\"; }");
    holdPath(server, "/held.pac", true);
    holdPath(server, "/stopped.pac", true);
    uint16_t closedPort = 0;
    closeSocket(listenOnLoopback(0, 1, &closedPort));
    const double bound = AUTO_CONFIG_WAIT_MILLISECONDS / 1000.0;
    struct Case {
        std::string scriptUrl;
        const char* url;
        int stopped;
        int outcome;
        const char* proxyOrError; // the proxy, or a part of the failure text
        double maxSeconds;
    };
    const Case cases[] = {
        {serverUrl(server, "/proxy.pac"), "http://img.example/a.jpg", 0, AUTO_CONFIG_PROXY, "127.0.0.1:3128",
         bound},
        {serverUrl(server, "/proxy.pac"), "https://localhost/a.jpg", 0, AUTO_CONFIG_DIRECT, "", bound},
        {"http://127.0.0.1:" + std::to_string(closedPort) + "/p.pac", "http://img.example/", 0,
         AUTO_CONFIG_FAILED, "12167", bound},
        {serverUrl(server, "/stopped.pac"), "http://img.example/", 1, AUTO_CONFIG_FAILED, "stopped", 5},
        {serverUrl(server, "/held.pac"), "http://img.example/", 0, AUTO_CONFIG_FAILED, "", bound + 10},
    };
    // Evaluations at once, as the workers of a run start them, each get the script's answer. (Under
    // Wine, two at once could empty the script under each other.) Before the held scripts below,
    // whose evaluations stay behind.
    for (int round = 0; round < 3; round++) {
        std::atomic<int> proxied{0};
        std::vector<std::thread> workers;
        for (int i = 0; i < 6; i++)
            workers.emplace_back([&, i] {
                char proxy[256], errorText[256];
                std::string url = "https://host" + std::to_string(i) + ".example/";
                if (evaluateAutoConfigScript(serverUrl(server, "/proxy.pac").c_str(), url.c_str(), proxy,
                                             sizeof proxy, errorText, sizeof errorText,
                                             nullptr) == AUTO_CONFIG_PROXY &&
                    std::strcmp(proxy, "127.0.0.1:3128") == 0)
                    proxied++;
            });
        for (std::thread& worker : workers)
            worker.join();
        EXPECT_EQ(proxied.load(), 6) << "round " << round;
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scriptUrl + " " + c.url);
        std::atomic<int> stop{c.stopped};
        char proxy[256];
        char errorText[256];
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(evaluateAutoConfigScript(c.scriptUrl.c_str(), c.url, proxy, sizeof proxy, errorText,
                                           sizeof errorText, &stop),
                  c.outcome)
            << errorText;
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                  c.maxSeconds);
        if (c.outcome == AUTO_CONFIG_FAILED)
            EXPECT_TRUE(errorText[0] && std::strstr(errorText, c.proxyOrError)) << errorText;
        else
            EXPECT_STREQ(proxy, c.proxyOrError);
    }
}

#else

TEST(SystemProxySettingsTest, ThisSystemKeepsNoProxyOfTheUsersOwn) {
    SystemProxySettings settings;
    EXPECT_EQ(readSystemProxySettings(&settings), 0);
    EXPECT_EQ(settings.server, nullptr);
    freeSystemProxySettings(&settings);
}

#endif
