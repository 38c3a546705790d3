// TCP connections: bounded connect, per-server failure limit, keep-alive pool, overrides.
//
// Both tables are keyed by "%s:%d" of host and port exactly as the address wrote them. The failure
// table is shared by the migration job and the update check and is guarded by one mutex; the pool
// is used by the image download alone.
#pragma once
#include "core/containers.h"
#include "platform/sockets.h"

#include <atomic>
#include <cstdint>

// From the fifth consecutive counted failure on, a server is refused at once until the counters
// are reset.
constexpr int MAX_CONNECT_FAILURES = 5;
constexpr int CONNECT_TIMEOUT_SECONDS = 10;
constexpr int SOCKET_IO_TIMEOUT_MS = 10000;

// A transfer that delivers fewer than LOW_SPEED_LIMIT_BYTES within LOW_SPEED_TIME_SECONDS is given
// up, however steadily its bytes trickle in.
constexpr int LOW_SPEED_LIMIT_BYTES = 1024;
constexpr int LOW_SPEED_TIME_SECONDS = 30;
// The longest any socket wait goes without looking at the stop flag.
constexpr int STOP_CHECK_MILLISECONDS = 250;

extern HashMap* socketPool;
extern HashMap* connectFailures;

// Creates the socket pool and the connect-failure table; once, before any connection. Calling it
// again keeps the existing tables.
void initConnectionPool();
// Forgets every server's count of consecutive connect failures (end of a migration run).
void resetConnectFailures();
// The current count of consecutive failures for host and port (0 when none).
int connectFailureCount(const char* host, int port);

// Adds "HOST:PORT:HOST2:PORT2": connections meant for HOST:PORT go to HOST2:PORT2, while the
// request's Host line and both table keys stay those of HOST:PORT. An empty HOST2 or PORT2 keeps
// the original. Returns 1 when the text is well formed (the later of two entries for one HOST:PORT
// wins), 0 otherwise.
int addConnectOverride(const char* text);
// Drops every override.
void clearConnectOverrides();

// The connect wait and the send/receive time-outs. Tests shorten them; 0 restores the defaults of
// CONNECT_TIMEOUT_SECONDS and SOCKET_IO_TIMEOUT_MS.
void setConnectionTimeouts(int connectMilliseconds, int ioMilliseconds);
int connectTimeoutMilliseconds();
int socketIoTimeoutMilliseconds();

// The low-speed limit: fewer than `bytes` within `milliseconds` gives a transfer up. Tests shorten
// it; 0 restores the defaults of LOW_SPEED_LIMIT_BYTES and LOW_SPEED_TIME_SECONDS.
void setLowSpeedLimit(int bytes, int milliseconds);

// The flag whose non-zero value interrupts every connect and receive in flight (the migration
// job's stop request); nullptr watches none. The flag must outlive every transfer.
void setTransferStopFlag(const std::atomic<int>* flag);
// 1 when the watched flag is set.
int transferStopRequested();

// The pace of one transfer (its head and body), for receiveBounded.
struct TransferPace {
    int64_t windowStart; // steady-clock milliseconds at which the current low-speed window began
    int64_t windowBytes; // bytes received in that window
};
void startTransferPace(TransferPace* pace);

constexpr int RECEIVE_FAILED = -1;
constexpr int RECEIVE_TOO_SLOW = -2;
constexpr int RECEIVE_STOPPED = -3;
// One receive that waits in slices of at most STOP_CHECK_MILLISECONDS. Returns the bytes received,
// 0 when the peer closed, RECEIVE_FAILED on an error or when nothing arrived within the socket I/O
// time-out, RECEIVE_TOO_SLOW when the transfer fell below the low-speed limit, RECEIVE_STOPPED when
// the stop flag was set.
int receiveBounded(SocketHandle socket, char* buffer, int length, TransferPace* pace);

// When on, only 127.0.0.0/8 is ever connected to: any other target (after the overrides) fails as
// an unresolvable name without a lookup. Tests and fuzzers turn it on.
void setLoopbackOnly(int on);

// Resolves, connects with a bounded wait and sets both time-outs. Returns a blocking socket, or
// NO_SOCKET with a failure text in errorText (ERROR_TEXT_SIZE bytes). The socket is not pooled.
SocketHandle openConnection(const char* host, int port, char* errorText);
// The pooled socket for host and port (it stays pooled) when it is still in step: one with unread
// bytes or one the server has closed is dropped and closed, never sent on. Else a new one from openConnection
// that is entered into the pool. NO_SOCKET with openConnection's text when that fails.
SocketHandle acquirePooledSocket(const char* host, int port, char* errorText);
// Drops the pool entry for host and port without closing its socket; nothing when there is none.
void removePooledSocket(const char* host, int port);
// Closes and forgets every pooled socket (tools and tests; the program keeps them until it ends).
void closeAllPooledSockets();
