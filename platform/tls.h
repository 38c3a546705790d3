// TLS client sessions over a connected TCP socket: OpenSSL 3 on Linux, SChannel on Windows.
//
// The HTTP code drives a session with the bounded, stop-checked waits of its own: a call never
// waits for the socket by itself. It reads the socket at most once, and only when the caller says
// the socket is readable (socketReadable 1, after waitReadable said so); otherwise it works on
// the bytes it already holds and returns TLS_WANT_READ when it needs more. Sends are whole sends
// on the socket's own send time-out (sendAll).
#pragma once
#include "platform/sockets.h"

struct TlsSession;

constexpr int TLS_DONE = 1;
constexpr int TLS_CLOSED = 0;
constexpr int TLS_FAILED = -1;
// No whole record (or handshake message) yet: wait until the socket is readable and call again.
constexpr int TLS_WANT_READ = -2;
// The TCP stream ended between two records without the server's close_notify: whatever was
// received may be only the first part of what the server meant to send.
constexpr int TLS_TRUNCATED = -3;

// Why a handshake failed.
constexpr int TLS_REASON_NONE = 0;
constexpr int TLS_REASON_UNKNOWN_ISSUER = 1;  // the chain ends at no trusted root
constexpr int TLS_REASON_WRONG_NAME = 2;      // the certificate is not for the host name
constexpr int TLS_REASON_EXPIRED = 3;         // outside its validity period (either side)
constexpr int TLS_REASON_BAD_CERTIFICATE = 4; // any other verification failure (revoked, bad use...)
constexpr int TLS_REASON_PROTOCOL = 5;        // the handshake itself failed (no common version...)
constexpr int TLS_REASON_CLOSED = 6;          // the server closed the connection during the handshake

constexpr int TLS_DETAIL_SIZE = 256;

// Starts the TLS library once and sets the trusted roots: the system's own plus, when
// extraCaFile is neither null nor empty, every certificate of that PEM file. Returns 1, or 0 with
// a reason in detail (TLS_DETAIL_SIZE bytes, plain ASCII) when the file cannot be read or holds no
// certificate. Sessions created afterwards use the new roots. Thread-safe.
int tlsConfigureTrust(const char* extraCaFile, char* detail);

// A client session for `host` (sent as SNI and checked against the certificate; an IPv4 literal
// is checked as an address) over `socket`, which stays owned by the caller. nullptr when the
// library cannot start or memory runs out. TLS 1.2 or later.
TlsSession* tlsCreateSession(SocketHandle socket, const char* host);

// One step of the handshake: sends what the handshake needs, then reads the socket once when
// socketReadable is 1. Returns TLS_DONE once the handshake is complete and the server's
// certificate verified, TLS_WANT_READ, or TLS_FAILED with *reason set and a plain-ASCII detail of
// the backend's own (TLS_DETAIL_SIZE bytes).
int tlsHandshake(TlsSession* session, int socketReadable, int* reason, char* detail);

// Encrypts and sends all bytes. Returns length, or -1 on failure.
int tlsSend(TlsSession* session, const char* data, int length);

// Decrypted application bytes: the count (> 0), TLS_CLOSED when the server ended the stream with
// close_notify, TLS_TRUNCATED when the TCP stream ended between records without it, TLS_FAILED
// (an end inside a record included), or TLS_WANT_READ. Once the stream has ended every further
// call gives the same end. Handshake messages that arrive after the handshake (session tickets)
// are taken silently.
int tlsReceive(TlsSession* session, char* buffer, int length, int socketReadable);

// 1 when the session holds decrypted bytes or received bytes not yet decrypted, so that
// tlsReceive may make progress without the socket being readable.
int tlsPending(TlsSession* session);

// Sends close_notify when it can without waiting, and frees the session. The socket stays open.
void tlsFreeSession(TlsSession* session);
