// Any bytes as the decrypted answer to an https download: the program's TLS backend is replaced by
// a pass-through one of this target's own (its handshake succeeds at once and bytes pass as they
// are), so the input reaches the response parser exactly as a TLS session would hand it over,
// in pieces of the sizes the socket delivers. The call ends with one of its results, a failure
// never leaves the file behind, and a stored file is a supported image within the size limit.
#include "http/download.h"
#include "platform/files.h"
#include "platform/tls.h"
#include "downloadcheck.h"
#include "replayserver.h"
#include "support/fuzzwindow.h"

#include <cstdio>
#include <cstring>
#include <string>

// The pass-through backend. Linked before the engine, it keeps the engine's own backend out.
struct TlsSession {
    SocketHandle socket;
    char held[512]; // received bytes not yet handed over
    int heldBytes;
    int heldFrom;
};

int tlsConfigureTrust(const char*, char*) {
    return 1;
}

TlsSession* tlsCreateSession(SocketHandle socket, const char*) {
    TlsSession* session = new TlsSession();
    session->socket = socket;
    return session;
}

int tlsHandshake(TlsSession*, int, int* reason, char* detail) {
    *reason = TLS_REASON_NONE;
    detail[0] = '\0';
    return TLS_DONE;
}

int tlsSend(TlsSession* session, const char* data, int length) {
    return sendAll(session->socket, data, length);
}

// Hands held bytes over first, without the socket, as a session does with whole records.
int tlsReceive(TlsSession* session, char* buffer, int length, int socketReadable) {
    if (session->heldBytes == 0) {
        if (!socketReadable) return TLS_WANT_READ;
        int n = receiveSome(session->socket, session->held, sizeof session->held);
        if (n == 0) return TLS_CLOSED;
        if (n < 0) return TLS_FAILED;
        session->heldBytes = n;
        session->heldFrom = 0;
    }
    int n = length < session->heldBytes ? length : session->heldBytes;
    std::memcpy(buffer, session->held + session->heldFrom, static_cast<size_t>(n));
    session->heldFrom += n;
    session->heldBytes -= n;
    return n;
}

int tlsPending(TlsSession* session) {
    return session->heldBytes > 0;
}

void tlsFreeSession(TlsSession* session) {
    delete session;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ReplayServer* server = replayServer();
    static const std::string dest = fuzzScratchFile("tlsdownload.jpg");
    static const std::string address = "https://127.0.0.1:" + std::to_string(server->port) + "/i/a.jpg?x=1";
    setReplay(server, data, size);

    checkDownload(address, dest, 1);
    return 0;
}
