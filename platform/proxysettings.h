// The user's own proxy settings of the operating system, read afresh on each call: on Windows the
// Internet Options of the current user (HKCU\Software\Microsoft\Windows\CurrentVersion\Internet
// Settings); elsewhere none.
#pragma once

struct SystemProxySettings {
    int enabled;  // ProxyEnable is non-zero
    char* server; // ProxyServer in UTF-8 as written ("host:port", or "http=h:p;https=h:p;..."), nullptr when
                  // unset or empty
    char*
        bypass; // ProxyOverride in UTF-8 ("a.example;*.b.example;10.*;<local>"), nullptr when unset or empty
    char* autoConfigUrl; // AutoConfigURL in UTF-8, nullptr when unset or empty
};
// Fills settings (zeroed first). Returns 1 when the settings were read (a missing key or
// value reads as unset), 0 where the system has none (POSIX).
int readSystemProxySettings(SystemProxySettings* settings);
void freeSystemProxySettings(SystemProxySettings* settings);

constexpr int AUTO_CONFIG_FAILED = 0;
constexpr int AUTO_CONFIG_PROXY = 1;
constexpr int AUTO_CONFIG_DIRECT = 2;
constexpr int AUTO_CONFIG_WAIT_MILLISECONDS = 15000;
// Asks the system to run the auto-configuration script at scriptUrl for the address url.
// AUTO_CONFIG_PROXY with the first proxy of the answer as "host:port" in proxy (proxySize
// bytes, written with a bound); AUTO_CONFIG_DIRECT when the script answers DIRECT (or no
// proxy); AUTO_CONFIG_FAILED with a short UTF-8 text in errorText (errorSize bytes) saying why
// (script unreachable, error code...). The wait is bounded by AUTO_CONFIG_WAIT_MILLISECONDS as a
// whole, whatever the script or its server does. POSIX: always AUTO_CONFIG_FAILED ("no system
// evaluation of auto-configuration scripts on this platform").
int evaluateAutoConfigScript(const char* scriptUrl, const char* url, char* proxy, int proxySize,
                             char* errorText, int errorSize);
