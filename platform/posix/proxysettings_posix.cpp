// Proxy settings on Linux: the system keeps no proxy of the user's own (desktops differ, and the
// environment is read by the engine), and it offers no evaluation of auto-configuration scripts.
#include "platform/proxysettings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int readSystemProxySettings(SystemProxySettings* settings) {
    std::memset(settings, 0, sizeof *settings);
    return 0;
}

int evaluateAutoConfigScript(const char*, const char*, char* proxy, int proxySize, char* errorText,
                             int errorSize, const std::atomic<int>*) {
    if (proxy && proxySize > 0) proxy[0] = '\0';
    if (errorText && errorSize > 0)
        std::snprintf(errorText, static_cast<size_t>(errorSize),
                      "no system evaluation of auto-configuration scripts on this platform");
    return AUTO_CONFIG_FAILED;
}
