// What both systems' proxy settings share.
#include "platform/proxysettings.h"

#include <cstdlib>
#include <cstring>

void freeSystemProxySettings(SystemProxySettings* settings) {
    std::free(settings->server);
    std::free(settings->bypass);
    std::free(settings->autoConfigUrl);
    std::memset(settings, 0, sizeof *settings);
}
