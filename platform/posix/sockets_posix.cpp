// TCP sockets over IPv4 with BSD sockets: connect with a bounded wait, time-outs, listening.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static int fdOf(SocketHandle socket) {
    return static_cast<int>(socket);
}

int startSockets() {
    return 1;
}

int lastSocketError() {
    return errno;
}

// A descriptor of 0 would read as "no socket": move it elsewhere and keep 0 occupied by /dev/null
// so that it is not handed out again.
static int avoidZero(int fd) {
    if (fd != 0) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull >= 0) {
        dup2(devNull, 0);
        if (devNull != 0) close(devNull);
    } else {
        close(0);
    }
    return moved;
}

SocketHandle createTcpSocket() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return NO_SOCKET;
    fd = avoidZero(fd);
    if (fd <= 0) return NO_SOCKET;
    return static_cast<SocketHandle>(fd);
}

int setSocketNonBlocking(SocketHandle socket, int on) {
    int flags = fcntl(fdOf(socket), F_GETFL, 0);
    if (flags < 0) return flags;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    int result = fcntl(fdOf(socket), F_SETFL, flags);
    return result < 0 ? result : 1;
}

int startConnect(SocketHandle socket, uint32_t address, uint16_t port, int* errorCode) {
    struct sockaddr_in target;
    std::memset(&target, 0, sizeof target);
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = address;
    int result;
    do {
        result = connect(fdOf(socket), reinterpret_cast<struct sockaddr*>(&target), sizeof target);
    } while (result < 0 && errno == EINTR);
    if (result == 0) return 1;
    if (errno == EINPROGRESS || errno == EWOULDBLOCK || errno == EALREADY) return 0;
    *errorCode = errno;
    return -1;
}

// Waits for the events on one socket, again after a signal; poll's result, with what happened.
static int pollSocket(SocketHandle socket, short events, int timeoutMilliseconds, short* happened) {
    struct pollfd watched;
    watched.fd = fdOf(socket);
    watched.events = events;
    watched.revents = 0;
    int result;
    do {
        result = poll(&watched, 1, timeoutMilliseconds);
    } while (result < 0 && errno == EINTR);
    *happened = watched.revents;
    return result;
}

int waitForConnect(SocketHandle socket, int timeoutMilliseconds, int* errorCode) {
    short happened = 0;
    int result = pollSocket(socket, POLLOUT, timeoutMilliseconds, &happened);
    if (result == 0) return CONNECT_TIMED_OUT;
    if (result < 0) {
        *errorCode = result;
        return CONNECT_WAIT_FAILED;
    }
    int pending = 0;
    socklen_t size = sizeof pending;
    if (getsockopt(fdOf(socket), SOL_SOCKET, SO_ERROR, &pending, &size) != 0) pending = errno;
    if (pending == 0 && (happened & (POLLERR | POLLHUP))) pending = ECONNREFUSED;
    if (pending != 0) {
        *errorCode = pending;
        return CONNECT_REFUSED;
    }
    return CONNECT_READY;
}

void setSocketTimeouts(SocketHandle socket, int milliseconds) {
    struct timeval value;
    value.tv_sec = milliseconds / 1000;
    value.tv_usec = (milliseconds % 1000) * 1000;
    setsockopt(fdOf(socket), SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
    setsockopt(fdOf(socket), SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
}

int sendAll(SocketHandle socket, const char* data, int length) {
    int sent = 0;
    while (sent < length) {
        ssize_t n = send(fdOf(socket), data + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        sent += static_cast<int>(n);
    }
    return length;
}

int receiveSome(SocketHandle socket, char* buffer, int length) {
    ssize_t n;
    do {
        n = recv(fdOf(socket), buffer, static_cast<size_t>(length), 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

int waitReadable(SocketHandle socket, int timeoutMilliseconds) {
    short happened = 0;
    int result = pollSocket(socket, POLLIN, timeoutMilliseconds, &happened);
    if (result < 0) return -1;
    return result > 0 ? 1 : 0;
}

void shutdownSocket(SocketHandle socket) {
    shutdown(fdOf(socket), SHUT_RDWR);
}

void closeSocket(SocketHandle socket) {
    if (socket != NO_SOCKET) close(fdOf(socket));
}

SocketHandle listenOnLoopback(uint16_t port, int backlog, uint16_t* boundPort) {
    SocketHandle listener = createTcpSocket();
    if (listener == NO_SOCKET) return NO_SOCKET;
    int yes = 1;
    setsockopt(fdOf(listener), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    struct sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof local;
    if (bind(fdOf(listener), reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0 ||
        listen(fdOf(listener), backlog) != 0 ||
        getsockname(fdOf(listener), reinterpret_cast<struct sockaddr*>(&local), &size) != 0) {
        closeSocket(listener);
        return NO_SOCKET;
    }
    if (boundPort) *boundPort = ntohs(local.sin_port);
    return listener;
}

SocketHandle acceptConnection(SocketHandle listener, int timeoutMilliseconds) {
    if (waitReadable(listener, timeoutMilliseconds) != 1) return NO_SOCKET;
    int fd;
    do {
        fd = accept4(fdOf(listener), nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return NO_SOCKET;
    fd = avoidZero(fd);
    if (fd <= 0) return NO_SOCKET;
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return static_cast<SocketHandle>(fd);
}
