// TCP and TLS connections: bounded connect, per-server failure limit, keep-alive pool, overrides.
//
// The failure table is keyed by "%s:%d" of host and port exactly as the address wrote them; it is
// shared by the migration job and the update check. The pool is keyed by "http://%s:%d" or
// "https://%s:%d" and is used by the image download alone. Each table has a mutex of its own, so
// that every function here may be called from several threads at once. What only tests reach
// (the tables themselves, shorter time-outs and limits) is in http/connectiontest.h.
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
// The size of every failure text buffer of the connections and the downloads over them.
constexpr int ERROR_TEXT_SIZE = 1024;

// A transfer whose average speed over the last LOW_SPEED_TIME_SECONDS stays below
// LOW_SPEED_LIMIT_BYTES a second is given up, however regularly its bytes drip in.
constexpr int LOW_SPEED_LIMIT_BYTES = 1024;
constexpr int LOW_SPEED_TIME_SECONDS = 30;
// The longest any socket wait goes without looking at the stop flag.
constexpr int STOP_CHECK_MILLISECONDS = 250;

struct TlsSession;

// One connection to an image server: a blocking socket and, for https, its TLS session.
struct Connection {
    SocketHandle socket;
    TlsSession* tls;         // nullptr for http
    char* key;               // the pool key, "http://host:port" or "https://host:port"
    char* slotKey = nullptr; // "host:port" when the connection counts towards its server's cap, else nullptr
    int reused = 0;          // 1 when it was taken out of the pool: it has carried an answer before
    char* route = nullptr;   // "host:port" of the proxy it goes through, nullptr when direct
    // 1 when it is a plain connection to an http proxy: requests on it take the absolute form and
    // forwardAuthorization (the Proxy-Authorization value, nullptr for none).
    int forwarded = 0;
    char* forwardAuthorization = nullptr;
};

// Creates the socket pool and the connect-failure table; once, before any connection. Calling it
// again keeps the existing tables.
void initConnectionPool();
// Forgets every server's count of consecutive connect failures and every name whose lookup failed
// (end of a migration run).
void resetConnectFailures();

// Adds "HOST:PORT:HOST2:PORT2": connections meant for HOST:PORT go to HOST2:PORT2, while the
// request's Host line and both table keys stay those of HOST:PORT. An empty HOST2 or PORT2 keeps
// the original. Returns 1 when the text is well formed (the later of two entries for one HOST:PORT
// wins), 0 otherwise.
int addConnectOverride(const char* text);

// The flag whose non-zero value interrupts every connect and receive in flight (the migration
// job's stop request); nullptr watches none. The flag must outlive every transfer.
void setTransferStopFlag(const std::atomic<int>* flag);
// 1 when the watched flag is set.
int transferStopRequested();

// The slots of the low-speed window: the bytes of the last window are kept per slot, so that the
// window slides a slot at a time.
constexpr int PACE_SLOTS = 30;
// The pace of one transfer (its head and body), for receiveBounded.
struct TransferPace {
    int64_t start;                 // steady-clock milliseconds at which the transfer began
    int64_t slotStart;             // steady-clock milliseconds at which the newest slot began
    int newest;                    // the index of the newest slot
    int64_t slotBytes[PACE_SLOTS]; // bytes received in each slot
};
void startTransferPace(TransferPace* pace);

constexpr int RECEIVE_FAILED = -1;
constexpr int RECEIVE_TOO_SLOW = -2;
constexpr int RECEIVE_STOPPED = -3;
constexpr int RECEIVE_TRUNCATED = -4;
// One receive that waits in slices of at most STOP_CHECK_MILLISECONDS. Returns the bytes received,
// 0 when the peer closed, RECEIVE_FAILED on an error or when nothing arrived within the socket I/O
// time-out, RECEIVE_TOO_SLOW when the transfer fell below the low-speed limit, RECEIVE_STOPPED when
// the stop flag was set, RECEIVE_TRUNCATED when a TLS peer closed the TCP connection without
// close_notify (the stream may have been cut short: a failed receive, not an orderly close).
// Over TLS the bytes count once decrypted; bytes the session already holds are taken without
// waiting, and a partial record means waiting again.
int receiveBounded(Connection* connection, char* buffer, int length, TransferPace* pace);
// Sends all bytes (encrypted over TLS) on the socket's send time-out. Returns length, or -1.
int sendOnConnection(Connection* connection, const char* data, int length);

// When on, only 127.0.0.0/8 is ever connected to: any other target (after the overrides) fails as
// an unresolvable name without a lookup. Tests and fuzzers turn it on.
void setLoopbackOnly(int on);

// Resolves, connects with a bounded wait and sets both time-outs. The lookup runs on a thread of
// its own that the wait may leave behind: it is bounded by the connect time-out and ended by the
// stop flag. A name whose lookup failed or timed out counts once towards the failure limit and is
// not looked up again until resetConnectFailures; addresses on it fail at once with the same text.
// Returns a blocking socket, or NO_SOCKET with a failure text in errorText (ERROR_TEXT_SIZE bytes).
// The socket is not pooled.
SocketHandle openSocket(const char* host, int port, char* errorText);
// openSocket, then for secure 1 the TLS handshake with host as the server's name, bounded as a
// whole by the socket I/O time-out and ended by the stop flag. When the run's proxy (http/proxy.h)
// covers the host, the socket is connected to the proxy instead (the overrides and the failure
// limit then apply to the proxy's host and port): for http it carries absolute-form requests
// (forwarded 1), for https it is a CONNECT tunnel to host and port, inside which the handshake
// checks host's certificate. A proxy that refuses the tunnel fails with its answer in errorText. A
// certificate that fails its check or a failed handshake gives nullptr with a text naming the reason. The
// connection is not pooled. A handshake that fails, times out or is cut off counts towards the failure limit
// like a failed connect; for https only a completed handshake clears the count. When certificateRefused is
// given, it is set to 1 when the server's certificate failed its check or the proxy refused the tunnel with
// a 4xx answer (a further attempt cannot help), else left alone.
Connection* openStreamConnection(const char* host, int port, int secure, char* errorText,
                                 int* certificateRefused = nullptr);
// Ends the TLS session, closes the socket and frees the connection; nothing for nullptr.
void closeConnection(Connection* connection);
// Takes an idle pooled connection for the scheme, host and port out of the pool when one is still
// in step (one with unread bytes or one the server has closed is closed and never sent on; TLS
// messages that arrive after the handshake, such as session tickets, are taken first), else opens
// a new one with openStreamConnection. No other thread can use the connection until it is released.
// certificateRefused as for openStreamConnection.
Connection* acquirePooledConnection(const char* host, int port, int secure, char* errorText,
                                    int* certificateRefused = nullptr);
// keep 1 puts the connection back into the pool as idle; 0 closes and frees it.
void releasePooledConnection(Connection* connection, int keep);
// Trusts every certificate of the PEM file at path in addition to the system's roots, for every
// TLS session opened afterwards; an empty path or nullptr trusts the system's roots alone. Returns
// 1, or 0 with a text in errorText (ERROR_TEXT_SIZE bytes) when the file cannot be read or holds
// no certificate; the trust in force then stays as it was.
int setExtraCaFile(const char* path, char* errorText);
// The environment variable both programs read an extra trusted CA file from (tests and scripted
// runs).
constexpr const char* CA_FILE_VARIABLE = "VEDO_CA_FILE";
// setExtraCaFile with the file named by VEDO_CA_FILE. Returns 1 when the variable is unset or
// empty or the file was applied, 0 with setExtraCaFile's text otherwise.
int applyCaFileFromEnvironment(char* errorText);
// Closes and forgets every pooled connection (tools and tests; the program keeps them until it ends).
void closeAllPooledSockets();

// A server that allows each client only a few connections refuses the extra ones. The image
// download counts its connections per server ("host:port", like the failure table): pooled ones,
// idle or in use, and the close-mode ones. Once a server has refused a connection while another
// one to it worked, its cap stays at the number of the others for the rest of the run, and a
// new connection waits (ended by the stop flag) until one of them is closed or idle.
//
// openStreamConnection counted towards the cap of host and port: waits for room first (nullptr
// with the stop text when the stop flag ends the wait). certificateRefused as for
// openStreamConnection.
Connection* openCountedConnection(const char* host, int port, int secure, char* errorText,
                                  int* certificateRefused = nullptr);
// Called by the holder of a counted connection that the server refused (a busy answer, or a close or
// reset before any answer). When other counted connections to the server are open, lowers its cap
// to their number and returns 1: the refusal was the server's connection limit. Returns 0 when no
// other connection to the server is open: the server itself is failing.
int lowerConnectionCap(const char* host, int port);
// 1 when the calling thread's last acquirePooledConnection or openCountedConnection failed to open a
// connection while other connections to the server were open: the server's connection limit (the
// cap is lowered, and the failure does not count towards MAX_CONNECT_FAILURES).
int lastConnectRefusedByLimit();
// Lifts every cap (the start of a migration run). Open connections stay counted.
void resetConnectionCaps();
