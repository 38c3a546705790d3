// TCP sockets over IPv4: Winsock on Windows, BSD sockets elsewhere. A socket is held as an
// unsigned integer; 0 stands for "no socket" everywhere, and a real socket is never 0.
#pragma once
#include <cstdint>

typedef uintptr_t SocketHandle;
constexpr SocketHandle NO_SOCKET = 0;

// Starts the sockets interface (Winsock 2.2). Returns 1 on success. Safe to call more than once.
int startSockets();

// The last socket error of the calling thread (WSAGetLastError or errno).
int lastSocketError();

// Parses a dotted IPv4 address into network byte order. Returns 1 when the text is one.
int parseIpv4Address(const char* text, uint32_t* address);
// Resolves a host name to its first IPv4 address (network byte order) with a blocking lookup.
// Returns 1 on success.
int resolveIpv4Address(const char* host, uint32_t* address);

// A TCP stream socket, or NO_SOCKET.
SocketHandle createTcpSocket();
// Switches non-blocking mode on (1) or off (0). Returns 1 on success, else the failing call's
// (negative) result.
int setSocketNonBlocking(SocketHandle socket, int on);

// Starts a connect. Returns 1 when it completed at once, 0 when it is in progress (non-blocking
// socket), -1 when it failed (the error is in *errorCode).
int startConnect(SocketHandle socket, uint32_t address, uint16_t port, int* errorCode);

constexpr int CONNECT_READY = 1;
constexpr int CONNECT_TIMED_OUT = 0;
constexpr int CONNECT_WAIT_FAILED = -1;
constexpr int CONNECT_REFUSED = -2;
// Waits for a non-blocking connect to finish, watching both the write and the exception set and
// reading the socket's pending error. Returns CONNECT_READY, CONNECT_TIMED_OUT, CONNECT_WAIT_FAILED
// (the wait itself failed; *errorCode holds select's result) or CONNECT_REFUSED (the connect
// failed; *errorCode holds the socket's error).
int waitForConnect(SocketHandle socket, int timeoutMilliseconds, int* errorCode);

// Send and receive time-outs in milliseconds; 0 means none.
void setSocketTimeouts(SocketHandle socket, int milliseconds);

// Sends all bytes (repeating on partial sends). Never raises a signal when the peer has gone.
// Returns length, or -1 on failure.
int sendAll(SocketHandle socket, const char* data, int length);
// One receive: bytes received, 0 when the peer closed, -1 on failure or time-out.
int receiveSome(SocketHandle socket, char* buffer, int length);
// Waits until the socket has data (or end of stream) to read. Returns 1 readable, 0 time-out, -1
// failure.
int waitReadable(SocketHandle socket, int timeoutMilliseconds);
// Ends both directions without releasing the socket (wakes a thread blocked on it).
void shutdownSocket(SocketHandle socket);
void closeSocket(SocketHandle socket);

// A listening socket on 127.0.0.1. port 0 picks a free port; *boundPort receives the port.
// Returns NO_SOCKET on failure.
SocketHandle listenOnLoopback(uint16_t port, int backlog, uint16_t* boundPort);
// Accepts one connection, waiting at most timeoutMilliseconds. NO_SOCKET on time-out or failure.
SocketHandle acceptConnection(SocketHandle listener, int timeoutMilliseconds);

// A socket, closed at the end of the scope unless it was released.
struct SocketGuard {
    SocketHandle socket;
    explicit SocketGuard(SocketHandle taken) : socket(taken) {}
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;
    ~SocketGuard() {
        if (socket != NO_SOCKET) closeSocket(socket);
    }
    SocketHandle release() {
        SocketHandle taken = socket;
        socket = NO_SOCKET;
        return taken;
    }
};
