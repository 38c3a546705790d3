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
#include <windows.h>

#include <vector>

namespace {

const wchar_t* const SETTINGS_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const wchar_t* const VALUE_NAMES[] = {L"ProxyEnable", L"ProxyServer", L"ProxyOverride", L"AutoConfigURL"};

// How a case writes one value: left out, or written with a type; TEXT_UNTERMINATED is a REG_SZ
// stored without its closing NUL, as some programs write it.
enum ValueKind { ABSENT, NUMBER, TEXT, EXPANDABLE, TEXT_UNTERMINATED, BINARY };
struct WrittenValue {
    ValueKind kind;
    std::wstring text; // TEXT, EXPANDABLE, TEXT_UNTERMINATED, BINARY (its bytes)
    DWORD number;      // NUMBER
};

// A value as it was before the test: its type and bytes, or absent.
struct SavedValue {
    bool present = false;
    DWORD type = 0;
    std::vector<BYTE> bytes;
};

void writeValue(HKEY key, const wchar_t* name, const WrittenValue& value) {
    const BYTE* text = reinterpret_cast<const BYTE*>(value.text.c_str());
    const DWORD textBytes = static_cast<DWORD>(value.text.size() * sizeof(wchar_t));
    switch (value.kind) {
    case ABSENT:
        RegDeleteValueW(key, name);
        break;
    case NUMBER:
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value.number),
                       sizeof value.number);
        break;
    case TEXT:
    case EXPANDABLE:
        RegSetValueExW(key, name, 0, value.kind == TEXT ? REG_SZ : REG_EXPAND_SZ, text,
                       textBytes + sizeof(wchar_t));
        break;
    case TEXT_UNTERMINATED:
        RegSetValueExW(key, name, 0, REG_SZ, text, textBytes);
        break;
    case BINARY:
        RegSetValueExW(key, name, 0, REG_BINARY, text, textBytes);
        break;
    }
}

std::string textOf(const char* text) {
    return text ? text : "(unset)";
}

} // namespace

TEST(SystemProxySettingsTest, TheUsersInternetOptionsReadBackAsWritten) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    SavedValue saved[4];
    for (int i = 0; i < 4; i++) {
        DWORD size = 0;
        if (RegQueryValueExW(key, VALUE_NAMES[i], nullptr, &saved[i].type, nullptr, &size) != ERROR_SUCCESS)
            continue;
        saved[i].bytes.resize(size + 1);
        saved[i].present = RegQueryValueExW(key, VALUE_NAMES[i], nullptr, &saved[i].type,
                                            saved[i].bytes.data(), &size) == ERROR_SUCCESS;
        saved[i].bytes.resize(size);
    }
    auto restore = onScopeExit([&] {
        for (int i = 0; i < 4; i++) {
            if (saved[i].present)
                RegSetValueExW(key, VALUE_NAMES[i], 0, saved[i].type, saved[i].bytes.data(),
                               static_cast<DWORD>(saved[i].bytes.size()));
            else
                RegDeleteValueW(key, VALUE_NAMES[i]);
        }
        RegCloseKey(key);
    });

    struct Case {
        const char* name;
        WrittenValue written[4]; // ProxyEnable, ProxyServer, ProxyOverride, AutoConfigURL
        int enabled;
        const char* server;
        const char* bypass;
        const char* autoConfigUrl;
    };
    const Case cases[] = {
        {"all set",
         {{NUMBER, L"", 1},
          {TEXT, L"proxy.example:8080", 0},
          {TEXT, L"a.example;*.b.example;10.*;<local>", 0},
          {TEXT, L"http://wpad.example/proxy.pac", 0}},
         1,
         "proxy.example:8080",
         "a.example;*.b.example;10.*;<local>",
         "http://wpad.example/proxy.pac"},
        {"disabled, the server kept",
         {{NUMBER, L"", 0}, {TEXT, L"proxy.example:8080", 0}, {ABSENT, L"", 0}, {ABSENT, L"", 0}},
         0,
         "proxy.example:8080",
         nullptr,
         nullptr},
        {"per-scheme server as written, Chinese bypass in UTF-8",
         {{NUMBER, L"", 7},
          {TEXT, L"http=h1:80;https=h2:443;ftp=h3:21", 0},
          {TEXT, L"图片.example;<local>", 0},
          {EXPANDABLE, L"http://%HOST%/p.pac", 0}},
         1,
         "http=h1:80;https=h2:443;ftp=h3:21",
         "图片.example;<local>",
         "http://%HOST%/p.pac"},
        {"unset and empty",
         {{ABSENT, L"", 0}, {TEXT, L"", 0}, {ABSENT, L"", 0}, {ABSENT, L"", 0}},
         0,
         nullptr,
         nullptr,
         nullptr},
        {"wrong types read as unset, a text without its NUL ends where it is stored",
         {{TEXT, L"1", 0},
          {NUMBER, L"", 80},
          {BINARY, L"a.example", 0},
          {TEXT_UNTERMINATED, L"http://w/p.pac", 0}},
         0,
         nullptr,
         nullptr,
         "http://w/p.pac"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < 4; i++)
            writeValue(key, VALUE_NAMES[i], c.written[i]);
        SystemProxySettings settings;
        ASSERT_EQ(readSystemProxySettings(&settings), 1);
        auto release = onScopeExit([&] { freeSystemProxySettings(&settings); });
        EXPECT_EQ(settings.enabled, c.enabled);
        EXPECT_EQ(textOf(settings.server), textOf(c.server));
        EXPECT_EQ(textOf(settings.bypass), textOf(c.bypass));
        EXPECT_EQ(textOf(settings.autoConfigUrl), textOf(c.autoConfigUrl));
    }
}

// WinHTTP fetches the script from the test server and runs it; a script server that is not there
// fails within the bound.
TEST(AutoConfigScriptTest, TheSystemRunsTheScriptForEachAddress) {
    TestServer server;
    ASSERT_EQ(startTestServer(server), 1);
    serveResource(server, "/proxy.pac",
                  "function FindProxyForURL(url, host) { if (host == \"localhost\") return \"DIRECT\"; "
                  "return \"PROXY 127.0.0.1:3128; DIRECT\"; }");
    const std::string scriptUrl = serverUrl(server, "/proxy.pac");
    char proxy[256];
    char errorText[256];

    int outcome = evaluateAutoConfigScript(scriptUrl.c_str(), "http://img.example/a.jpg", proxy, sizeof proxy,
                                           errorText, sizeof errorText);
    ASSERT_EQ(outcome, AUTO_CONFIG_PROXY) << errorText;
    EXPECT_STREQ(proxy, "127.0.0.1:3128");
    EXPECT_EQ(evaluateAutoConfigScript(scriptUrl.c_str(), "http://localhost/a.jpg", proxy, sizeof proxy,
                                       errorText, sizeof errorText),
              AUTO_CONFIG_DIRECT)
        << errorText;

    // Another address than the script's: the system keeps a script it fetched for a while.
    uint16_t closedPort = 0;
    closeSocket(listenOnLoopback(0, 1, &closedPort));
    const std::string nowhere = "http://127.0.0.1:" + std::to_string(closedPort) + "/proxy.pac";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(evaluateAutoConfigScript(nowhere.c_str(), "http://img.example/a.jpg", proxy, sizeof proxy,
                                       errorText, sizeof errorText),
              AUTO_CONFIG_FAILED);
    EXPECT_NE(std::string(errorText).find("12167"), std::string::npos) << errorText;
    auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LT(waited.count(), AUTO_CONFIG_WAIT_MILLISECONDS + 5000);
}

// A script server that takes the request and never answers holds the caller no longer than the
// bound, and a stop of the transfers ends the wait at once; the evaluations left behind end when
// the server goes.
TEST(AutoConfigScriptTest, AServerThatNeverAnswersHoldsTheCallerNoLongerThanTheBound) {
    TestServer server;
    ASSERT_EQ(startTestServer(server), 1);
    holdPath(server, "/held.pac", true);
    const std::string scriptUrl = serverUrl(server, "/held.pac");
    char proxy[256];
    char errorText[256];
    auto evaluateTimed = [&](double* seconds) {
        auto start = std::chrono::steady_clock::now();
        int outcome = evaluateAutoConfigScript(scriptUrl.c_str(), "http://img.example/a.jpg", proxy,
                                               sizeof proxy, errorText, sizeof errorText);
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return outcome;
    };
    double seconds = 0;
    std::atomic<int> stop{1};
    setTransferStopFlag(&stop);
    auto unwatch = onScopeExit([] { setTransferStopFlag(nullptr); });
    EXPECT_EQ(evaluateTimed(&seconds), AUTO_CONFIG_FAILED);
    EXPECT_LT(seconds, 5.0);
    setTransferStopFlag(nullptr);
    EXPECT_EQ(evaluateTimed(&seconds), AUTO_CONFIG_FAILED);
    EXPECT_STRNE(errorText, "");
    EXPECT_LT(seconds, AUTO_CONFIG_WAIT_MILLISECONDS / 1000.0 + 10.0);
}

#else

TEST(SystemProxySettingsTest, ThisSystemKeepsNoProxyOfTheUsersOwn) {
    SystemProxySettings settings;
    EXPECT_EQ(readSystemProxySettings(&settings), 0);
    EXPECT_EQ(settings.server, nullptr);
    freeSystemProxySettings(&settings);
}

#endif
