// TLS client sessions: not built yet; every session fails to start.
#include "platform/tls.h"

#include <cstdio>

int tlsConfigureTrust(const char*, char* detail) {
    std::snprintf(detail, TLS_DETAIL_SIZE, "TLS is not built");
    return 0;
}

TlsSession* tlsCreateSession(SocketHandle, const char*) {
    return nullptr;
}

int tlsHandshake(TlsSession*, int, int* reason, char* detail) {
    *reason = TLS_REASON_PROTOCOL;
    std::snprintf(detail, TLS_DETAIL_SIZE, "TLS is not built");
    return TLS_FAILED;
}

int tlsSend(TlsSession*, const char*, int) {
    return -1;
}

int tlsReceive(TlsSession*, char*, int, int) {
    return TLS_FAILED;
}

int tlsPending(TlsSession*) {
    return 0;
}

void tlsFreeSession(TlsSession*) {}
