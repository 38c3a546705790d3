// TCP sockets over IPv4 with Winsock: connect with a bounded wait, time-outs, listening.
#include "platform/sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstring>
#include <mutex>

static SOCKET nativeOf(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

static SocketHandle handleOf(SOCKET socket) {
    if (socket == INVALID_SOCKET || socket == 0) return NO_SOCKET;
    return static_cast<SocketHandle>(socket);
}

static std::mutex startMutex;
static std::atomic<int> started{0};

int startSockets() {
    if (started.load()) return 1;
    std::lock_guard<std::mutex> lock(startMutex);
    if (started.load()) return 1;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
    started.store(1);
    return 1;
}

int lastSocketError() {
    return WSAGetLastError();
}

SocketHandle createTcpSocket() {
    startSockets();
    return handleOf(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

int setSocketNonBlocking(SocketHandle socket, int on) {
    u_long mode = on ? 1 : 0;
    int result = ioctlsocket(nativeOf(socket), FIONBIO, &mode);
    return result != 0 ? result : 1;
}

int startConnect(SocketHandle socket, uint32_t address, uint16_t port, int* errorCode) {
    struct sockaddr_in target;
    std::memset(&target, 0, sizeof target);
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    if (connect(nativeOf(socket), reinterpret_cast<struct sockaddr*>(&target), sizeof target) == 0) return 1;
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINPROGRESS || error == WSAEALREADY) return 0;
    *errorCode = error;
    return -1;
}

int waitForConnect(SocketHandle socket, int timeoutMilliseconds, int* errorCode) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(nativeOf(socket), &writable);
    FD_SET(nativeOf(socket), &failed);
    struct timeval limit;
    limit.tv_sec = timeoutMilliseconds / 1000;
    limit.tv_usec = (timeoutMilliseconds % 1000) * 1000;
    int result = select(0, nullptr, &writable, &failed, &limit);
    if (result == 0) return CONNECT_TIMED_OUT;
    if (result < 0) {
        *errorCode = result;
        return CONNECT_WAIT_FAILED;
    }
    int pending = 0;
    int size = sizeof pending;
    if (getsockopt(nativeOf(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &size) != 0) {
        pending = WSAGetLastError();
    }
    if (pending == 0 && FD_ISSET(nativeOf(socket), &failed)) pending = WSAECONNREFUSED;
    if (pending != 0) {
        *errorCode = pending;
        return CONNECT_REFUSED;
    }
    return CONNECT_READY;
}

void setSocketTimeouts(SocketHandle socket, int milliseconds) {
    DWORD value = static_cast<DWORD>(milliseconds);
    setsockopt(nativeOf(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value),
               sizeof value);
    setsockopt(nativeOf(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
               sizeof value);
}

int sendAll(SocketHandle socket, const char* data, int length) {
    int sent = 0;
    while (sent < length) {
        int n = send(nativeOf(socket), data + sent, length - sent, 0);
        if (n <= 0) return -1;
        sent += n;
    }
    return length;
}

int receiveSome(SocketHandle socket, char* buffer, int length) {
    int n = recv(nativeOf(socket), buffer, length, 0);
    return n < 0 ? -1 : n;
}

int waitReadable(SocketHandle socket, int timeoutMilliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(nativeOf(socket), &readable);
    struct timeval limit;
    limit.tv_sec = timeoutMilliseconds / 1000;
    limit.tv_usec = (timeoutMilliseconds % 1000) * 1000;
    int result = select(0, &readable, nullptr, nullptr, &limit);
    if (result < 0) return -1;
    return result > 0 ? 1 : 0;
}

void shutdownSocket(SocketHandle socket) {
    shutdown(nativeOf(socket), SD_BOTH);
}

void closeSocket(SocketHandle socket) {
    if (socket != NO_SOCKET) closesocket(nativeOf(socket));
}

SocketHandle listenOnLoopback(uint16_t port, int backlog, uint16_t* boundPort) {
    SocketHandle listener = createTcpSocket();
    if (listener == NO_SOCKET) return NO_SOCKET;
    struct sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof local;
    if (bind(nativeOf(listener), reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0 ||
        listen(nativeOf(listener), backlog) != 0 ||
        getsockname(nativeOf(listener), reinterpret_cast<struct sockaddr*>(&local), &size) != 0) {
        closeSocket(listener);
        return NO_SOCKET;
    }
    if (boundPort) *boundPort = ntohs(local.sin_port);
    return listener;
}

SocketHandle acceptConnection(SocketHandle listener, int timeoutMilliseconds) {
    if (waitReadable(listener, timeoutMilliseconds) != 1) return NO_SOCKET;
    SocketHandle accepted = handleOf(accept(nativeOf(listener), nullptr, nullptr));
    if (accepted == NO_SOCKET) return NO_SOCKET;
    BOOL yes = TRUE;
    setsockopt(nativeOf(accepted), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
    return accepted;
}
