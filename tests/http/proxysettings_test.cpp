// The user's own proxy settings of the system: on Windows the Internet Options in the registry and
// WinHTTP's evaluation of an auto-configuration script; elsewhere none.
#include "platform/proxysettings.h"

#include "core/scope.h"
#include "http/connection.h"
#include "tools/support/testserver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#ifdef _WIN32
#include "support/internetoptions.h"

#include <windows.h>

namespace {

// How a case writes one value: left out, or written with a type; TEXT_UNTERMINATED is a REG_SZ
// stored without its closing NUL, as some programs write it.
enum ValueKind { ABSENT, NUMBER, TEXT, EXPANDABLE, TEXT_UNTERMINATED, BINARY };
struct WrittenValue {
    ValueKind kind;
    std::wstring text = {}; // or the bytes of BINARY
    DWORD number = 0;
};

void writeValue(HKEY key, const wchar_t* name, const WrittenValue& value) {
    const BYTE* text = reinterpret_cast<const BYTE*>(value.text.c_str());
    const DWORD textBytes = static_cast<DWORD>(value.text.size() * sizeof(wchar_t));
    if (value.kind == ABSENT) RegDeleteValueW(key, name);
    if (value.kind == NUMBER)
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value.number), sizeof(DWORD));
    if (value.kind == TEXT || value.kind == EXPANDABLE)
        RegSetValueExW(key, name, 0, value.kind == TEXT ? REG_SZ : REG_EXPAND_SZ, text, textBytes + 2);
    if (value.kind == TEXT_UNTERMINATED || value.kind == BINARY)
        RegSetValueExW(key, name, 0, value.kind == BINARY ? REG_BINARY : REG_SZ, text, textBytes);
}

std::string textOf(const char* text) {
    return text ? text : "(unset)";
}

} // namespace

TEST(SystemProxySettingsTest, TheUsersInternetOptionsReadBackAsWritten) {
    InternetOptionsProxy keep(0, L"", L""); // puts back whatever was there
    HKEY key = InternetOptionsProxy::openKey();
    ASSERT_NE(key, nullptr);
    auto closeKey = onScopeExit([&] { RegCloseKey(key); });
    const wchar_t* const names[] = {L"ProxyEnable", L"ProxyServer", L"ProxyOverride", L"AutoConfigURL"};
    struct Case {
        const char* name;
        WrittenValue written[4]; // in the order of names
        int enabled;
        const char* read[3]; // server, bypass, autoConfigUrl
    };
    const Case cases[] = {
        {"all set",
         {{NUMBER, L"", 1},
          {TEXT, L"p.example:8080"},
          {TEXT, L"a.example;10.*;<local>"},
          {TEXT, L"http://w/p.pac"}},
         1,
         {"p.example:8080", "a.example;10.*;<local>", "http://w/p.pac"}},
        {"disabled, the server kept",
         {{NUMBER, L"", 0}, {TEXT, L"p.example:8080"}, {ABSENT}, {ABSENT}},
         0,
         {"p.example:8080", nullptr, nullptr}},
        {"per-scheme server as written, Chinese bypass in UTF-8, expandable text not expanded",
         {{NUMBER, L"", 7},
          {TEXT, L"http=h1:80;https=h2:443"},
          {TEXT, L"图片.example"},
          {EXPANDABLE, L"%HOST%/p"}},
         1,
         {"http=h1:80;https=h2:443", "图片.example", "%HOST%/p"}},
        {"unset and empty", {{ABSENT}, {TEXT, L""}, {ABSENT}, {ABSENT}}, 0, {nullptr, nullptr, nullptr}},
        {"wrong types unset, a text without its NUL whole",
         {{TEXT, L"1"}, {NUMBER, L"", 80}, {BINARY, L"a.example"}, {TEXT_UNTERMINATED, L"http://w/p.pac"}},
         0,
         {nullptr, nullptr, "http://w/p.pac"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < 4; i++)
            writeValue(key, names[i], c.written[i]);
        SystemProxySettings settings;
        ASSERT_EQ(readSystemProxySettings(&settings), 1);
        auto release = onScopeExit([&] { freeSystemProxySettings(&settings); });
        EXPECT_EQ(settings.enabled, c.enabled);
        EXPECT_EQ(textOf(settings.server), textOf(c.read[0]));
        EXPECT_EQ(textOf(settings.bypass), textOf(c.read[1]));
        EXPECT_EQ(textOf(settings.autoConfigUrl), textOf(c.read[2]));
    }
}

// WinHTTP fetches the script from the test server and runs it for each address. A script server
// that is not there fails at once; one that takes the request and never answers holds the caller
// no longer than the bound, and a stop of the transfers ends the wait at once (the evaluations left
// behind end when the server goes). The system keeps a script it fetched for a while, so every
// failing case has an address of its own.
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
    auto unwatch = onScopeExit([] { setTransferStopFlag(nullptr); });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scriptUrl + " " + c.url);
        std::atomic<int> stop{c.stopped};
        setTransferStopFlag(&stop);
        char proxy[256];
        char errorText[256];
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(evaluateAutoConfigScript(c.scriptUrl.c_str(), c.url, proxy, sizeof proxy, errorText,
                                           sizeof errorText),
                  c.outcome)
            << errorText;
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                  c.maxSeconds);
        if (c.outcome == AUTO_CONFIG_FAILED) {
            EXPECT_NE(errorText[0], '\0');
            EXPECT_NE(std::string(errorText).find(c.proxyOrError), std::string::npos) << errorText;
        } else {
            EXPECT_STREQ(proxy, c.proxyOrError);
        }
        setTransferStopFlag(nullptr);
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
