// A manual check of the TLS sessions: connects to HOST:PORT (through VEDO_CONNECT_TO like the
// program), shakes hands with bounded waits, sends "GET PATH" and prints the answer or the reason
// for the failure. The exit status is 0 on an answer, 2 on a refused certificate, 1 otherwise.
//     tls-probe HOST PORT [PATH] [CA-FILE]
#include "core/scope.h"
#include "http/connection.h"
#include "http/download.h"
#include "platform/tls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr int WAIT_MILLISECONDS = 10000;

static const char* reasonName(int reason) {
    switch (reason) {
    case TLS_REASON_UNKNOWN_ISSUER:
        return "unknown issuer";
    case TLS_REASON_WRONG_NAME:
        return "wrong name";
    case TLS_REASON_EXPIRED:
        return "expired";
    case TLS_REASON_BAD_CERTIFICATE:
        return "bad certificate";
    case TLS_REASON_PROTOCOL:
        return "protocol";
    case TLS_REASON_CLOSED:
        return "closed";
    default:
        return "none";
    }
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: tls-probe HOST PORT [PATH] [CA-FILE]\n");
        return 1;
    }
    const char* host = argv[1];
    int port = std::atoi(argv[2]);
    const char* path = argc > 3 ? argv[3] : "/";
    char detail[TLS_DETAIL_SIZE] = {};
    if (argc > 4 && !tlsConfigureTrust(argv[4], detail)) {
        std::printf("trust: %s\n", detail);
        return 1;
    }
    char errorText[ERROR_TEXT_SIZE] = {};
    SocketGuard socket(openSocket(host, port, errorText));
    if (socket.socket == NO_SOCKET) {
        std::printf("connect: %s\n", errorText);
        return 1;
    }
    TlsSession* session = tlsCreateSession(socket.socket, host);
    if (!session) {
        std::printf("session: cannot start\n");
        return 1;
    }
    auto freeSession = onScopeExit([&] { tlsFreeSession(session); });
    int readable = 0;
    int reason = 0;
    int rounds = 0;
    for (;;) {
        int result = tlsHandshake(session, readable, &reason, detail);
        rounds++;
        if (result == TLS_DONE) break;
        if (result == TLS_FAILED) {
            std::printf("handshake: %s (%s) after %d rounds\n", reasonName(reason), detail, rounds);
            return reason >= TLS_REASON_UNKNOWN_ISSUER && reason <= TLS_REASON_BAD_CERTIFICATE ? 2 : 1;
        }
        readable = waitReadable(socket.socket, WAIT_MILLISECONDS);
        if (readable <= 0) {
            std::printf("handshake: no answer within %d ms after %d rounds\n", WAIT_MILLISECONDS, rounds);
            return 1;
        }
    }
    std::printf("handshake: done after %d rounds\n", rounds);
    char request[1024];
    int length = std::snprintf(request, sizeof request,
                               "GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n", path, host);
    if (length <= 0 || length >= static_cast<int>(sizeof request) ||
        tlsSend(session, request, length) != length) {
        std::printf("send: failed\n");
        return 1;
    }
    long long total = 0;
    char buffer[4096];
    readable = 0;
    for (;;) {
        int got = tlsReceive(session, buffer, sizeof buffer, readable);
        if (got > 0) {
            std::fwrite(buffer, 1, static_cast<size_t>(got), stdout);
            total += got;
            readable = 0;
            continue;
        }
        if (got == TLS_CLOSED) break;
        if (got == TLS_TRUNCATED) {
            std::printf("\nreceive: closed without close_notify after %lld bytes\n", total);
            return 1;
        }
        if (got == TLS_FAILED) {
            std::printf("\nreceive: failed after %lld bytes\n", total);
            return 1;
        }
        if (tlsPending(session)) {
            readable = 0;
            continue;
        }
        readable = waitReadable(socket.socket, WAIT_MILLISECONDS);
        if (readable <= 0) {
            std::printf("\nreceive: no answer within %d ms after %lld bytes\n", WAIT_MILLISECONDS, total);
            return 1;
        }
    }
    std::printf("\nreceive: %lld bytes, closed\n", total);
    return 0;
}
