// POSIX systems keep no proxy settings of their own beyond the environment.
#include "platform/proxysettings.h"

#include <cstdio>
#include <cstring>

int readSystemProxySettings(SystemProxySettings* settings) {
    std::memset(settings, 0, sizeof *settings);
    return 0;
}

void freeSystemProxySettings(SystemProxySettings* settings) {
    std::memset(settings, 0, sizeof *settings);
}

int evaluateAutoConfigScript(const char*, const char*, char* proxy, int proxySize, char* errorText,
                             int errorSize) {
    if (proxySize > 0) proxy[0] = '\0';
    std::snprintf(errorText, static_cast<size_t>(errorSize),
                  "no system evaluation of auto-configuration scripts on this platform");
    return AUTO_CONFIG_FAILED;
}
