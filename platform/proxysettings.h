// The proxy the user chose in the operating system's own settings, and the system's evaluation of
// a proxy auto-configuration script. The engine decides among the command line, the environment
// and these settings; this side only reads what the system holds.
#pragma once
#include <atomic>

// The user's own proxy settings of the operating system, read afresh on each call: on Windows the
// Internet Options of the current user (HKCU\Software\Microsoft\Windows\CurrentVersion\Internet
// Settings); elsewhere none.
// clang-format off
struct SystemProxySettings {
    int enabled;         // ProxyEnable is non-zero
    char* server;        // ProxyServer in UTF-8 as written ("host:port", or "http=h:p;https=h:p;..."), nullptr when unset or empty
    char* bypass;        // ProxyOverride in UTF-8 ("a.example;*.b.example;10.*;<local>"), nullptr when unset or empty
    char* autoConfigUrl; // AutoConfigURL in UTF-8, nullptr when unset or empty
};
// clang-format on
// Fills settings (zeroed first). Returns 1 when the settings were read (a missing key or
// value reads as unset), 0 where the system has none (POSIX).
int readSystemProxySettings(SystemProxySettings* settings);
void freeSystemProxySettings(SystemProxySettings* settings);

constexpr int AUTO_CONFIG_FAILED = 0;
constexpr int AUTO_CONFIG_PROXY = 1;
constexpr int AUTO_CONFIG_DIRECT = 2;
constexpr int AUTO_CONFIG_WAIT_MILLISECONDS = 15000;
// The longest the wait for a script goes without looking at the stop flag.
constexpr int AUTO_CONFIG_STOP_CHECK_MILLISECONDS = 250;
// Asks the system to run the auto-configuration script at scriptUrl for the address url.
// AUTO_CONFIG_PROXY with the first proxy of the answer as "host:port" in proxy (proxySize
// bytes, written with a bound); AUTO_CONFIG_DIRECT when the script answers DIRECT (or no
// proxy); AUTO_CONFIG_FAILED with a short UTF-8 text in errorText (errorSize bytes) saying why
// (script unreachable, error code...). The wait is bounded by AUTO_CONFIG_WAIT_MILLISECONDS as a
// whole, whatever the script or its server does. Evaluations run one at a time; a waiting one
// counts against its caller's bound. POSIX: always AUTO_CONFIG_FAILED ("no system
// evaluation of auto-configuration scripts on this platform"). A non-zero stopFlag (nullptr
// watches none) ends the wait within AUTO_CONFIG_STOP_CHECK_MILLISECONDS, as a failure.
int evaluateAutoConfigScript(const char* scriptUrl, const char* url, char* proxy, int proxySize,
                             char* errorText, int errorSize, const std::atomic<int>* stopFlag);
