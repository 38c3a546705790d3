// Connections to image servers, TCP or TLS: name lookups on threads of their own, connects,
// handshakes and receives that one stop-aware wait bounds (the low-speed rule included), the
// per-server failure limit, the keep-alive pool with its per-server connection caps, and the
// connect overrides.
#include "http/connection.h"

#include "core/allocate.h"
#include "core/applog.h"
#include "core/charset.h"
#include "core/deployment.h"
#include "core/scope.h"
#include "core/text.h"
#include "http/connectiontest.h"
#include "http/httpparse.h"
#include "http/proxy.h"
#include "platform/files.h"
#include "platform/tls.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

HashMap* socketPool = nullptr;
static HashMap* connectFailures = nullptr;

// Override table: "HOST:PORT" -> ConnectTarget.
struct ConnectTarget {
    char* host; // null: keep the original host
    int port;   // 0: keep the original port
};
static HashMap* connectOverrides = nullptr;

static std::mutex failureMutex;
static std::mutex poolMutex;
static std::mutex overrideMutex;
static std::atomic<int> connectTimeoutOverride{0};
static std::atomic<int> ioTimeoutOverride{0};
static std::atomic<int> loopbackOnly{0};
static std::atomic<int> lowSpeedBytesOverride{0};
static std::atomic<int> lowSpeedTimeOverride{0};
static std::atomic<const std::atomic<int>*> transferStopFlag{nullptr};

typedef HeapPointer<char> HeapText;

// "%s:%d" of host and port on the heap; hosts may be of any length.
static HeapText serverKey(const char* host, int port) {
    size_t size = std::strlen(host) + 16;
    char* key = static_cast<char*>(allocateBytes(size));
    std::snprintf(key, size, "%s:%d", host, port);
    return HeapText(key);
}

static void* countValue(intptr_t count) {
    return reinterpret_cast<void*>(count);
}
static intptr_t countOf(void* value) {
    return reinterpret_cast<intptr_t>(value);
}

// "http://%s:%d" or "https://%s:%d": the pool key of a connection.
static HeapText poolKey(const char* host, int port, int secure) {
    size_t size = std::strlen(host) + 24;
    char* key = static_cast<char*>(allocateBytes(size));
    std::snprintf(key, size, "%s://%s:%d", secure ? "https" : "http", host, port);
    return HeapText(key);
}

void initConnectionPool() {
    {
        std::lock_guard<std::mutex> lock(poolMutex);
        if (!socketPool) socketPool = hashMapCreateDefault(stringHash, stringEquals);
    }
    std::lock_guard<std::mutex> lock(failureMutex);
    if (!connectFailures) connectFailures = hashMapCreateDefault(stringHash, stringEquals);
}

static void forgetFailedNames();

void resetConnectFailures() {
    {
        std::lock_guard<std::mutex> lock(failureMutex);
        if (connectFailures) hashMapClear(connectFailures, 1, 0);
    }
    forgetFailedNames();
}

int connectFailureCount(const char* host, int port) {
    HeapText key = serverKey(host, port);
    std::lock_guard<std::mutex> lock(failureMutex);
    if (!connectFailures) return 0;
    return static_cast<int>(countOf(hashMapGet(connectFailures, key.get())));
}

static void countFailure(const char* key) {
    std::lock_guard<std::mutex> lock(failureMutex);
    if (!connectFailures) return;
    intptr_t count = countOf(hashMapGet(connectFailures, key)) + 1;
    if (hashMapContains(connectFailures, key)) {
        hashMapPut(connectFailures, const_cast<char*>(key), countValue(count));
    } else {
        hashMapPut(connectFailures, duplicateString(key), countValue(count));
    }
}

static void clearFailureCount(const char* key) {
    std::lock_guard<std::mutex> lock(failureMutex);
    if (!connectFailures) return;
    if (countOf(hashMapGet(connectFailures, key)) != 0) {
        hashMapPut(connectFailures, const_cast<char*>(key), countValue(0));
    }
}

static intptr_t failureCountOf(const char* key) {
    std::lock_guard<std::mutex> lock(failureMutex);
    if (!connectFailures) return 0;
    return countOf(hashMapGet(connectFailures, key));
}

// Reads a port from [begin, end): one to five digits whose value is 1 to 65535; 0 when the text
// is not one. An empty text gives `emptyValue`.
static int parsePortText(const char* begin, const char* end, int emptyValue) {
    if (begin == end) return emptyValue;
    if (end - begin > 5) return 0;
    int port = 0;
    for (const char* p = begin; p < end; p++) {
        if (*p < '0' || *p > '9') return 0;
        port = port * 10 + (*p - '0');
    }
    return (port >= 1 && port <= 65535) ? port : 0;
}

int addConnectOverride(const char* text) {
    if (!text) return 0;
    // HOST:PORT:HOST2:PORT2, split at the last three colons so that HOST may be anything else.
    const char* colons[3] = {nullptr, nullptr, nullptr};
    int found = 0;
    for (const char* p = text + std::strlen(text); p > text && found < 3;) {
        p--;
        if (*p == ':') colons[found++] = p;
    }
    if (found < 3) return 0;
    const char* c1 = colons[2];
    const char* c2 = colons[1];
    const char* c3 = colons[0];
    if (c1 == text) return 0;
    int port = parsePortText(c1 + 1, c2, -1);
    int newPort = parsePortText(c3 + 1, text + std::strlen(text), -1);
    if (port <= 0 || newPort == 0) return 0;
    if (newPort < 0) newPort = 0;

    std::string host(text, static_cast<size_t>(c1 - text));
    std::string newHost(c2 + 1, static_cast<size_t>(c3 - c2 - 1));
    HeapText key = serverKey(host.c_str(), port);

    ConnectTarget* target = static_cast<ConnectTarget*>(allocateZeroed(sizeof(ConnectTarget)));
    target->host = newHost.empty() ? nullptr : duplicateString(newHost.c_str());
    target->port = newPort;

    std::lock_guard<std::mutex> lock(overrideMutex);
    if (!connectOverrides) connectOverrides = hashMapCreateDefault(stringHash, stringEquals);
    ConnectTarget* old;
    if (hashMapContains(connectOverrides, key.get())) {
        old = static_cast<ConnectTarget*>(hashMapPut(connectOverrides, key.get(), target));
    } else {
        old = static_cast<ConnectTarget*>(hashMapPut(connectOverrides, key.release(), target));
    }
    if (old) {
        std::free(old->host);
        std::free(old);
    }
    return 1;
}

void clearConnectOverrides() {
    std::lock_guard<std::mutex> lock(overrideMutex);
    if (!connectOverrides) return;
    KeyListNode* keys = hashMapKeys(connectOverrides);
    for (KeyListNode* node = keys; node; node = node->next) {
        ConnectTarget* target = static_cast<ConnectTarget*>(hashMapGet(connectOverrides, node->key));
        if (target) {
            std::free(target->host);
            std::free(target);
        }
    }
    hashMapFreeKeyList(keys);
    hashMapClear(connectOverrides, 1, 0);
}

// The host and port to connect to for the key; the original ones when no override applies.
static void connectTarget(const char* key, const char* host, int port, std::string* targetHost,
                          int* targetPort) {
    *targetHost = host;
    *targetPort = port;
    std::lock_guard<std::mutex> lock(overrideMutex);
    if (!connectOverrides) return;
    ConnectTarget* target = static_cast<ConnectTarget*>(hashMapGet(connectOverrides, key));
    if (!target) return;
    if (target->host) *targetHost = target->host;
    if (target->port) *targetPort = target->port;
}

void setConnectionTimeouts(int connectMilliseconds, int ioMilliseconds) {
    connectTimeoutOverride.store(connectMilliseconds > 0 ? connectMilliseconds : 0);
    ioTimeoutOverride.store(ioMilliseconds > 0 ? ioMilliseconds : 0);
}

static int connectTimeoutMilliseconds() {
    int overridden = connectTimeoutOverride.load();
    return overridden > 0 ? overridden : CONNECT_TIMEOUT_SECONDS * 1000;
}

static int socketIoTimeoutMilliseconds() {
    int overridden = ioTimeoutOverride.load();
    return overridden > 0 ? overridden : SOCKET_IO_TIMEOUT_MS;
}

void setLowSpeedLimit(int bytes, int milliseconds) {
    lowSpeedBytesOverride.store(bytes > 0 ? bytes : 0);
    lowSpeedTimeOverride.store(milliseconds > 0 ? milliseconds : 0);
}

static int lowSpeedBytes() {
    int overridden = lowSpeedBytesOverride.load();
    return overridden > 0 ? overridden : LOW_SPEED_LIMIT_BYTES;
}

static int lowSpeedMilliseconds() {
    int overridden = lowSpeedTimeOverride.load();
    return overridden > 0 ? overridden : LOW_SPEED_TIME_SECONDS * 1000;
}

void setTransferStopFlag(const std::atomic<int>* flag) {
    transferStopFlag.store(flag);
}

int transferStopRequested() {
    const std::atomic<int>* flag = transferStopFlag.load();
    return flag && flag->load() ? 1 : 0;
}

static int64_t nowMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void startTransferPace(TransferPace* pace) {
    pace->start = nowMilliseconds();
    pace->slotStart = pace->start;
    pace->newest = 0;
    for (int64_t& bytes : pace->slotBytes)
        bytes = 0;
}

// The length of one slot of the low-speed window.
static int64_t paceSlotMilliseconds() {
    int64_t slot = lowSpeedMilliseconds() / PACE_SLOTS;
    return slot > 0 ? slot : 1;
}

// Moves the window on to now: slots that ended are replaced by empty ones.
static void advancePace(TransferPace* pace, int64_t now) {
    int64_t slot = paceSlotMilliseconds();
    int64_t passed = (now - pace->slotStart) / slot;
    if (passed <= 0) return;
    if (passed >= PACE_SLOTS) {
        for (int64_t& bytes : pace->slotBytes)
            bytes = 0;
    } else {
        for (int64_t i = 0; i < passed; i++) {
            pace->newest = (pace->newest + 1) % PACE_SLOTS;
            pace->slotBytes[pace->newest] = 0;
        }
    }
    pace->slotStart += passed * slot;
}

static void countPaceBytes(TransferPace* pace, int bytes) {
    advancePace(pace, nowMilliseconds());
    pace->slotBytes[pace->newest] += bytes;
}

// 1 once the transfer has run for a whole window and its bytes in the last window fall short of
// the low-speed limit's rate.
static int belowLowSpeed(TransferPace* pace, int64_t now) {
    advancePace(pace, now);
    int64_t window = lowSpeedMilliseconds();
    if (now - pace->start < window) return 0;
    int64_t received = 0;
    for (int64_t bytes : pace->slotBytes)
        received += bytes;
    return received * 1000 < static_cast<int64_t>(lowSpeedBytes()) * window;
}

// How a wait on a socket ended.
constexpr int WAIT_READY = 1;
constexpr int WAIT_TIMED_OUT = 0;
constexpr int WAIT_FAILED = -1;   // the wait itself failed (*errorCode holds its result for a connect)
constexpr int WAIT_REFUSED = -2;  // the connect failed (*errorCode holds the socket's error)
constexpr int WAIT_STOPPED = -3;  // the stop flag was set
constexpr int WAIT_TOO_SLOW = -4; // the transfer fell below the low-speed limit

enum SocketEvent { SOCKET_READABLE, SOCKET_CONNECTED };

// The one wait of the connections: until the socket is readable (or its connect has finished), at
// most limit milliseconds after since, in slices of at most STOP_CHECK_MILLISECONDS. Before each
// slice it looks at the stop flag and, for a transfer (pace given), at the low-speed limit.
static int waitOnSocket(SocketHandle socket, SocketEvent event, int64_t since, int limit, TransferPace* pace,
                        int* errorCode) {
    for (;;) {
        if (transferStopRequested()) return WAIT_STOPPED;
        int64_t now = nowMilliseconds();
        if (pace && belowLowSpeed(pace, now)) return WAIT_TOO_SLOW;
        int64_t left = limit - (now - since);
        if (left <= 0) return WAIT_TIMED_OUT;
        int slice = left < STOP_CHECK_MILLISECONDS ? static_cast<int>(left) : STOP_CHECK_MILLISECONDS;
        if (event == SOCKET_CONNECTED) {
            int waited = waitForConnect(socket, slice, errorCode);
            if (waited == CONNECT_READY) return WAIT_READY;
            if (waited == CONNECT_REFUSED) return WAIT_REFUSED;
            if (waited == CONNECT_WAIT_FAILED) return WAIT_FAILED;
        } else {
            int ready = waitReadable(socket, slice);
            if (ready > 0) return WAIT_READY;
            if (ready < 0) return WAIT_FAILED;
        }
    }
}

int receiveBounded(Connection* connection, char* buffer, int length, TransferPace* pace) {
    SocketHandle socket = connection->socket;
    TlsSession* tls = connection->tls;
    int64_t waitStart = nowMilliseconds();
    int idleLimit = socketIoTimeoutMilliseconds();
    int readable = 0;
    for (;;) {
        if (tls && (readable || tlsPending(tls))) {
            // Whole records already held are decrypted without waiting for the socket.
            int n = tlsReceive(tls, buffer, length, readable);
            if (n > 0) {
                countPaceBytes(pace, n);
                return n;
            }
            if (n == TLS_CLOSED) return 0;
            if (n == TLS_TRUNCATED) return RECEIVE_TRUNCATED;
            if (n != TLS_WANT_READ) return RECEIVE_FAILED;
            // A part of a record arrived: the peer is not idle.
            if (readable) waitStart = nowMilliseconds();
            readable = 0;
        }
        int waitError = 0;
        int waited = waitOnSocket(socket, SOCKET_READABLE, waitStart, idleLimit, pace, &waitError);
        if (waited == WAIT_STOPPED) return RECEIVE_STOPPED;
        if (waited == WAIT_TOO_SLOW) return RECEIVE_TOO_SLOW;
        if (waited != WAIT_READY) return RECEIVE_FAILED;
        if (tls) {
            readable = 1;
            continue;
        }
        int n = receiveSome(socket, buffer, length);
        if (n > 0) countPaceBytes(pace, n);
        return n < 0 ? RECEIVE_FAILED : n;
    }
}

int sendOnConnection(Connection* connection, const char* data, int length) {
    if (connection->tls) return tlsSend(connection->tls, data, length);
    return sendAll(connection->socket, data, length);
}

void setLoopbackOnly(int on) {
    loopbackOnly.store(on ? 1 : 0);
}

static int isLoopback(uint32_t networkOrderAddress) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&networkOrderAddress);
    return bytes[0] == 127;
}

// One name lookup on a thread of its own. The record is shared by the lookup thread and every
// connect that waits for it, and freed by the last of them to let go: a wait given up for its
// time-out or a stop leaves the thread behind, still holding a record of its own to write to.
struct NameLookup {
    char* name; // in lower case
    std::condition_variable finishedSignal;
    int holders;  // the threads that still hold the record
    int finished; // 1 once the lookup has returned
    int resolved;
    uint32_t address;
};

// Guards every NameLookup, pendingLookups and failedNames.
static std::mutex lookupMutex;
// Name -> its NameLookup while the lookup runs, so that connects to one name share one lookup.
// Both tables own copies of their keys.
static HashMap* pendingLookups = nullptr;
// Names whose lookup failed or timed out since the last resetConnectFailures.
static HashMap* failedNames = nullptr;

constexpr int LOOKUP_RESOLVED = 1;
constexpr int LOOKUP_FAILED = 0;        // the lookup failed or timed out just now
constexpr int LOOKUP_FAILED_BEFORE = 2; // the name failed earlier in the run: not looked up again
constexpr int LOOKUP_STOPPED = 3;

static void forgetFailedNames() {
    std::lock_guard<std::mutex> lock(lookupMutex);
    if (failedNames) hashMapClear(failedNames, 1, 0);
}

// Lets go of the record (under lookupMutex); the last holder frees it.
static void releaseLookup(NameLookup* lookup) {
    if (--lookup->holders > 0) return;
    std::free(lookup->name);
    lookup->~NameLookup();
    std::free(lookup);
}

// Takes the pending record of the lookup off the table (under lookupMutex) when it is still there.
static void unlistLookup(NameLookup* lookup) {
    if (hashMapGet(pendingLookups, lookup->name) == lookup) hashMapRemove(pendingLookups, lookup->name);
}

static void runLookup(NameLookup* lookup) {
    uint32_t address = 0;
    int resolved = resolveIpv4Address(lookup->name, &address);
    std::lock_guard<std::mutex> lock(lookupMutex);
    lookup->resolved = resolved;
    lookup->address = address;
    lookup->finished = 1;
    lookup->finishedSignal.notify_all();
    unlistLookup(lookup);
    releaseLookup(lookup);
}

// Looks the name up on a lookup thread and waits for it at most the connect time-out, in slices
// that look at the stop flag. A LOOKUP_* value; *address is set for LOOKUP_RESOLVED.
static int lookUpName(const char* host, uint32_t* address) {
    HeapText name(duplicateString(host));
    for (char* p = name.get(); *p; p++) {
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    }
    std::unique_lock<std::mutex> lock(lookupMutex);
    if (!pendingLookups) pendingLookups = hashMapCreateDefault(stringHash, stringEquals);
    if (!failedNames) failedNames = hashMapCreateDefault(stringHash, stringEquals);
    if (hashMapContains(failedNames, name.get())) return LOOKUP_FAILED_BEFORE;
    NameLookup* lookup = static_cast<NameLookup*>(hashMapGet(pendingLookups, name.get()));
    if (!lookup) {
        lookup = new (allocateZeroed(sizeof(NameLookup))) NameLookup();
        lookup->name = name.release();
        lookup->holders = 1;
        try {
            std::thread(runLookup, lookup).detach();
        } catch (const std::system_error&) {
            releaseLookup(lookup);
            return LOOKUP_FAILED;
        }
        hashMapPut(pendingLookups, duplicateString(lookup->name), lookup);
    }
    lookup->holders++;
    int64_t start = nowMilliseconds();
    int outcome = LOOKUP_FAILED;
    for (;;) {
        if (lookup->finished) {
            outcome = lookup->resolved ? LOOKUP_RESOLVED : LOOKUP_FAILED;
            *address = lookup->address;
            break;
        }
        if (transferStopRequested()) {
            outcome = LOOKUP_STOPPED;
            break;
        }
        int64_t left = connectTimeoutMilliseconds() - (nowMilliseconds() - start);
        if (left <= 0) break;
        int64_t slice = left < STOP_CHECK_MILLISECONDS ? left : STOP_CHECK_MILLISECONDS;
        lookup->finishedSignal.wait_for(lock, std::chrono::milliseconds(slice));
    }
    if (outcome == LOOKUP_FAILED) {
        // Later connects to the name fail at once; a lookup still hanging is left to itself.
        unlistLookup(lookup);
        if (!hashMapContains(failedNames, lookup->name))
            hashMapPut(failedNames, duplicateString(lookup->name), countValue(1));
    }
    releaseLookup(lookup);
    return outcome;
}

static int resolveTarget(const char* host, uint32_t* address) {
    if (loopbackOnly.load()) {
        if (std::strlen(host) == 9 && startsWithIgnoreCase(host, "localhost")) {
            parseIpv4Address("127.0.0.1", address);
            return LOOKUP_RESOLVED;
        }
        return parseIpv4Address(host, address) && isLoopback(*address) ? LOOKUP_RESOLVED
                                                                       : LOOKUP_FAILED_BEFORE;
    }
    if (!*host) return LOOKUP_FAILED_BEFORE;
    if (parseIpv4Address(host, address)) return LOOKUP_RESOLVED;
    return lookUpName(host, address);
}

// openSocket; a completed connect clears the server's failure count only when
// clearOnConnect is 1 (https clears it after the handshake).
static SocketHandle connectToServer(const char* host, int port, char* errorText, int clearOnConnect) {
    if (!host) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("域名 = null"));
        return NO_SOCKET;
    }
    HeapText key = serverKey(host, port);
    if (failureCountOf(key.get()) > MAX_CONNECT_FAILURES - 1) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("%s:%d - 连接失败已连续发生5次+"), host, port);
        return NO_SOCKET;
    }

    std::string targetHost;
    int targetPort = port;
    connectTarget(key.get(), host, port, &targetHost, &targetPort);

    uint32_t address = 0;
    int lookup = resolveTarget(targetHost.c_str(), &address);
    if (lookup == LOOKUP_STOPPED) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("连接已中止：收到停止请求。"));
        return NO_SOCKET;
    }
    // A failed lookup counts once; the addresses on the name that follow fail without one.
    if (lookup == LOOKUP_FAILED) countFailure(key.get());
    if (lookup != LOOKUP_RESOLVED) {
        // The maker's own servers stay reachable through a fixed address when lookups fail.
        int fallback = MAKER_DOMAIN_SUFFIX[0] != '\0' && MAKER_FALLBACK_ADDRESS[0] != '\0' &&
                       std::strstr(targetHost.c_str(), MAKER_DOMAIN_SUFFIX) &&
                       parseIpv4Address(MAKER_FALLBACK_ADDRESS, &address) &&
                       (!loopbackOnly.load() || isLoopback(address));
        if (!fallback) {
            std::snprintf(errorText, ERROR_TEXT_SIZE, programText("无法解析域名: %s"), host);
            return NO_SOCKET;
        }
    }

    SocketHandle socket = createTcpSocket();
    if (socket == NO_SOCKET) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, "INVALID_SOCKET");
        return NO_SOCKET;
    }

    // The connect is made non-blocking so that its wait is bounded and a stop ends it; a socket that
    // cannot be switched is not connected at all.
    int switchResult = setSocketNonBlocking(socket, 1);
    if (switchResult != 1) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("开启非阻塞方式连接失败，错误代码：%d"),
                      switchResult);
        closeSocket(socket);
        return NO_SOCKET;
    }

    int errorCode = 0;
    int started = startConnect(socket, address, static_cast<uint16_t>(targetPort & 0xFFFF), &errorCode);
    int waited = started == 1 ? WAIT_READY : WAIT_REFUSED;
    if (started == 0) {
        waited = waitOnSocket(socket, SOCKET_CONNECTED, nowMilliseconds(), connectTimeoutMilliseconds(),
                              nullptr, &errorCode);
    }
    if (waited == WAIT_STOPPED) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("连接已中止：收到停止请求。"));
        closeSocket(socket);
        return NO_SOCKET;
    }
    if (waited == WAIT_TIMED_OUT) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("使用非阻塞方式连接超时。"));
        closeSocket(socket);
        countFailure(key.get());
        return NO_SOCKET;
    }
    if (waited == WAIT_FAILED || waited == WAIT_REFUSED) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("使用非阻塞方式连接发生错误，错误码:%d"),
                      errorCode);
        closeSocket(socket);
        // A refused connect counts like a time-out; only a failure of the wait itself does not.
        if (waited == WAIT_REFUSED) countFailure(key.get());
        return NO_SOCKET;
    }
    if (clearOnConnect) clearFailureCount(key.get());
    int backResult = setSocketNonBlocking(socket, 0);
    if (backResult != 1) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("将socket重置为阻塞模式出错, 错误码:%d\n"),
                      backResult);
        closeSocket(socket);
        return NO_SOCKET;
    }

    setSocketTimeouts(socket, socketIoTimeoutMilliseconds());
    return socket;
}

SocketHandle openSocket(const char* host, int port, char* errorText) {
    return connectToServer(host, port, errorText, 1);
}

// How a handshake ended when it did not complete: the server's part (counted towards its failure
// limit), a failed certificate check among them, or this side's.
constexpr int HANDSHAKE_SERVER_FAILED = 1;      // failed, cut off or timed out
constexpr int HANDSHAKE_CERTIFICATE_FAILED = 2; // the certificate failed its check
constexpr int HANDSHAKE_NOT_COUNTED = 3;        // a stop, or no session or wait on this side

// Ends a handshake that did not complete: the session (if any) is freed, the failure text written
// and *failure told how the failure counts (a HANDSHAKE_* value). Returns nullptr.
static TlsSession* handshakeFailed(TlsSession* session, int* failure, int kind, char* errorText,
                                   const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 5, 6)))
#endif
    ;
static TlsSession* handshakeFailed(TlsSession* session, int* failure, int kind, char* errorText,
                                   const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(errorText, ERROR_TEXT_SIZE, format, arguments);
    va_end(arguments);
    *failure = kind;
    if (session) tlsFreeSession(session);
    return nullptr;
}

// A handshake that the backend ended with reason and its detail.
static TlsSession* handshakeRefused(TlsSession* session, int* failure, char* errorText, int reason,
                                    const char* detail) {
    const int certificate = HANDSHAKE_CERTIFICATE_FAILED;
    switch (reason) {
    case TLS_REASON_UNKNOWN_ISSUER:
        return handshakeFailed(session, failure, certificate, errorText,
                               programText("https证书验证失败：证书的颁发者不受信任（%s）"), detail);
    case TLS_REASON_WRONG_NAME:
        return handshakeFailed(session, failure, certificate, errorText,
                               programText("https证书验证失败：证书不属于此域名（%s）"), detail);
    case TLS_REASON_EXPIRED:
        return handshakeFailed(session, failure, certificate, errorText,
                               programText("https证书验证失败：证书已过期或尚未生效（%s）"), detail);
    case TLS_REASON_BAD_CERTIFICATE:
        return handshakeFailed(session, failure, certificate, errorText, programText("https证书验证失败：%s"),
                               detail);
    case TLS_REASON_CLOSED:
        return handshakeFailed(session, failure, HANDSHAKE_SERVER_FAILED, errorText,
                               programText("https握手失败：服务器在握手中关闭了连接（%s）"), detail);
    default:
        return handshakeFailed(session, failure, HANDSHAKE_SERVER_FAILED, errorText,
                               programText("https握手失败：%s"), detail);
    }
}

// The TLS handshake over a connected socket, within the socket I/O time-out as a whole and ended by
// the stop flag. The session, or nullptr with the failure text and a HANDSHAKE_* value in *failure.
static TlsSession* startTls(SocketHandle socket, const char* host, char* errorText, int* failure) {
    TlsSession* session = tlsCreateSession(socket, host);
    if (!session) {
        return handshakeFailed(nullptr, failure, HANDSHAKE_NOT_COUNTED, errorText,
                               programText("https握手失败：无法建立TLS会话。"));
    }
    const int64_t start = nowMilliseconds();
    int readable = 0;
    for (;;) {
        int reason = TLS_REASON_NONE;
        char detail[TLS_DETAIL_SIZE] = {0};
        int result = tlsHandshake(session, readable, &reason, detail);
        if (result == TLS_DONE) return session;
        if (result != TLS_WANT_READ) return handshakeRefused(session, failure, errorText, reason, detail);
        int waitError = 0;
        int waited =
            waitOnSocket(socket, SOCKET_READABLE, start, socketIoTimeoutMilliseconds(), nullptr, &waitError);
        if (waited == WAIT_STOPPED) {
            return handshakeFailed(session, failure, HANDSHAKE_NOT_COUNTED, errorText,
                                   programText("连接已中止：收到停止请求。"));
        }
        if (waited == WAIT_TIMED_OUT) {
            return handshakeFailed(session, failure, HANDSHAKE_SERVER_FAILED, errorText,
                                   programText("https握手超时：%d 毫秒内没有完成。"),
                                   socketIoTimeoutMilliseconds());
        }
        if (waited != WAIT_READY) {
            return handshakeFailed(session, failure, HANDSHAKE_NOT_COUNTED, errorText,
                                   programText("https握手失败：等待数据时出错。"));
        }
        readable = 1;
    }
}

// The largest answer head a proxy may give to a CONNECT.
constexpr int CONNECT_ANSWER_SIZE = 8192;

// Asks the proxy at the other end of socket for a tunnel to host and port and reads its answer,
// within the socket I/O time-out and ended by the stop flag. Returns 1 once the proxy answered 2xx,
// else 0 with a text naming the proxy and its answer. *refusedForGood is set to 1 for a 4xx answer
// (authentication wanted or the target forbidden), *serverFailed to 1 when the proxy could not
// reach the target (a 502 or 504) or gave no answer in time.
static int openTunnel(SocketHandle socket, const ProxyServer* proxy, const char* host, int port,
                      char* errorText, int* refusedForGood, int* serverFailed) {
    std::string target = std::string(host) + ":" + std::to_string(port);
    std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
    if (proxy->authorization) request += std::string("Proxy-Authorization: ") + proxy->authorization + "\r\n";
    request += "\r\n";
    int length = static_cast<int>(request.size());
    int sent = sendAll(socket, request.data(), length);
    // The request held the credentials: it does not linger in freed memory.
    for (char& c : request)
        reinterpret_cast<volatile char&>(c) = 0;
    if (sent != length) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("代理服务器 %s:%d：发送CONNECT请求失败"),
                      proxy->host, proxy->port);
        return 0;
    }
    Connection bare;
    bare.socket = socket;
    bare.tls = nullptr;
    bare.key = nullptr;
    TransferPace pace;
    startTransferPace(&pace);
    HeapText answer(static_cast<char*>(allocateZeroed(CONNECT_ANSWER_SIZE + 1)));
    char* data = answer.get();
    int filled = 0;
    int headEnd = -1;
    while (headEnd < 0) {
        int n = receiveBounded(&bare, data + filled, CONNECT_ANSWER_SIZE - filled, &pace);
        if (n == RECEIVE_STOPPED) {
            std::snprintf(errorText, ERROR_TEXT_SIZE, programText("连接已中止：收到停止请求。"));
            return 0;
        }
        if (n <= 0) {
            *serverFailed = 1;
            std::snprintf(errorText, ERROR_TEXT_SIZE,
                          programText("代理服务器 %s:%d 没有回答到 %s 的CONNECT请求"), proxy->host,
                          proxy->port, target.c_str());
            return 0;
        }
        headEnd = takeHeadBytes(data, &filled, n);
        if (headEnd < 0 && filled >= CONNECT_ANSWER_SIZE) {
            std::snprintf(errorText, ERROR_TEXT_SIZE, programText("代理服务器 %s:%d 对CONNECT请求的应答过长"),
                          proxy->host, proxy->port);
            return 0;
        }
    }
    // The status line alone is shown: "HTTP/1.1 407 Proxy Authentication Required".
    int lineLength = static_cast<int>(std::strcspn(data, "\r\n"));
    if (lineLength > 200) lineLength = 200;
    int status = 0;
    if (startsWithIgnoreCase(data, "HTTP/1.") && lineLength >= 12 && data[8] == ' ')
        status = std::atoi(data + 9);
    if (status >= 200 && status < 300) {
        if (filled == headEnd + 4) return 1;
        // The tunnel is the server's alone: bytes of the proxy's own would corrupt the handshake.
        std::snprintf(errorText, ERROR_TEXT_SIZE,
                      programText("代理服务器 %s:%d 在CONNECT应答之后发来了多余的数据"), proxy->host,
                      proxy->port);
        return 0;
    }
    if (status >= 400 && status < 500) *refusedForGood = 1;
    if (status == 502 || status == 504) *serverFailed = 1;
    if (status == 407) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("代理服务器 %s:%d 要求身份验证（到 %s）：%.*s"),
                      proxy->host, proxy->port, target.c_str(), lineLength, data);
    } else {
        std::snprintf(errorText, ERROR_TEXT_SIZE,
                      programText("代理服务器 %s:%d 拒绝了到 %s 的CONNECT请求：%.*s"), proxy->host,
                      proxy->port, target.c_str(), lineLength, data);
    }
    return 0;
}

// "host:port" of the proxy: the way a connection goes.
static std::string proxyRoute(const ProxyServer* proxy) {
    return std::string(proxy->host) + ":" + std::to_string(proxy->port);
}

static Connection* newConnection(SocketHandle socket, TlsSession* tls, const char* host, int port,
                                 int secure) {
    Connection* connection = static_cast<Connection*>(allocateZeroed(sizeof(Connection)));
    connection->socket = socket;
    connection->tls = tls;
    connection->key = poolKey(host, port, secure).release();
    return connection;
}

static TlsSession* startCountedTls(SocketHandle socket, const char* host, int port, char* errorText,
                                   int* certificateRefused);

// openStreamConnection through the proxy. *countedKey is set to the proxy's failure key when the
// failure counted towards the proxy (it could not be reached).
static Connection* openThroughProxy(const ProxyServer* proxy, const char* host, int port, int secure,
                                    char* errorText, int* certificateRefused, std::string* countedKey) {
    char connectError[ERROR_TEXT_SIZE] = {0};
    // A connect to the proxy clears its count; the count of an https server is cleared by its
    // handshake in the tunnel.
    SocketHandle socket = connectToServer(proxy->host, proxy->port, connectError, 1);
    if (socket == NO_SOCKET) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("代理服务器 %s:%d 无法连接：%s"), proxy->host,
                      proxy->port, connectError);
        *countedKey = serverKey(proxy->host, proxy->port).get();
        return nullptr;
    }
    TlsSession* tls = nullptr;
    if (secure) {
        int refused = 0;
        int serverFailed = 0;
        if (!openTunnel(socket, proxy, host, port, errorText, &refused, &serverFailed)) {
            closeSocket(socket);
            if (refused && certificateRefused) *certificateRefused = 1;
            // The proxy could not reach the server: the server's failure, as a failed connect is.
            if (serverFailed && !transferStopRequested()) countFailure(serverKey(host, port).get());
            return nullptr;
        }
        tls = startCountedTls(socket, host, port, errorText, certificateRefused);
        if (!tls) {
            closeSocket(socket);
            return nullptr;
        }
    }
    Connection* connection = newConnection(socket, tls, host, port, secure);
    connection->route = duplicateString(proxyRoute(proxy).c_str());
    if (!secure) {
        connection->forwarded = 1;
        if (proxy->authorization) connection->forwardAuthorization = duplicateString(proxy->authorization);
    }
    return connection;
}

// The TLS handshake with host over socket, counted towards the server's failure limit: only a
// completed handshake clears its count. nullptr with the failure text; the socket stays open.
static TlsSession* startCountedTls(SocketHandle socket, const char* host, int port, char* errorText,
                                   int* certificateRefused) {
    int failure = HANDSHAKE_NOT_COUNTED;
    TlsSession* tls = startTls(socket, host, errorText, &failure);
    HeapText key = serverKey(host, port);
    if (!tls) {
        // A server that stalls or breaks every handshake is given up like one that refuses
        // connects.
        if (failure != HANDSHAKE_NOT_COUNTED) countFailure(key.get());
        if (failure == HANDSHAKE_CERTIFICATE_FAILED && certificateRefused) *certificateRefused = 1;
        return nullptr;
    }
    clearFailureCount(key.get());
    return tls;
}

// "host:port" of the proxy that connections to host and port go through now; "" when direct.
static std::string currentRoute(const char* host, int port, int secure) {
    ProxyServer proxy;
    if (!proxyFor(host, port, secure, &proxy, transferStopFlag.load())) return std::string();
    std::string route = proxyRoute(&proxy);
    freeProxyServer(&proxy);
    return route;
}

// openStreamConnection; *countedKey names the failure key that a failure counted towards when it
// is not the server's own.
static Connection* openRoutedConnection(const char* host, int port, int secure, char* errorText,
                                        int* certificateRefused, std::string* countedKey) {
    ProxyServer proxy;
    if (host && proxyFor(host, port, secure, &proxy, transferStopFlag.load())) {
        auto releaseProxy = onScopeExit([&] { freeProxyServer(&proxy); });
        return openThroughProxy(&proxy, host, port, secure, errorText, certificateRefused, countedKey);
    }
    SocketHandle socket = connectToServer(host, port, errorText, !secure);
    if (socket == NO_SOCKET) return nullptr;
    TlsSession* tls = nullptr;
    if (secure) {
        tls = startCountedTls(socket, host, port, errorText, certificateRefused);
        if (!tls) {
            closeSocket(socket);
            return nullptr;
        }
    }
    return newConnection(socket, tls, host, port, secure);
}

Connection* openStreamConnection(const char* host, int port, int secure, char* errorText,
                                 int* certificateRefused) {
    std::string countedKey;
    return openRoutedConnection(host, port, secure, errorText, certificateRefused, &countedKey);
}

static void giveSlot(const char* serverKey);

void closeConnection(Connection* connection) {
    if (!connection) return;
    if (connection->tls) tlsFreeSession(connection->tls);
    closeSocket(connection->socket);
    if (connection->slotKey) giveSlot(connection->slotKey);
    std::free(connection->slotKey);
    std::free(connection->route);
    freeSecretText(connection->forwardAuthorization);
    std::free(connection->key);
    std::free(connection);
}

// 1 when an idle connection may carry the next request: nothing unread and not closed. A TLS
// connection first takes the handshake messages the server sent after the handshake.
static int stillInStep(Connection* connection) {
    if (!connection->tls) return waitReadable(connection->socket, 0) == 0;
    for (;;) {
        int readable = waitReadable(connection->socket, 0);
        if (readable < 0) return 0;
        if (!readable && !tlsPending(connection->tls)) return 1;
        char probe[256];
        int n = tlsReceive(connection->tls, probe, sizeof probe, readable);
        if (n != TLS_WANT_READ) return 0;
        if (!readable) return 1;
    }
}

// The last idle connection pooled under key, taken out of the pool; nullptr when none.
static Connection* takeIdleConnection(const char* key) {
    std::lock_guard<std::mutex> lock(poolMutex);
    if (!socketPool) socketPool = hashMapCreateDefault(stringHash, stringEquals);
    ArrayList* idle = static_cast<ArrayList*>(hashMapGet(socketPool, key));
    if (!idle || idle->count == 0) return nullptr;
    idle->count--;
    return static_cast<Connection*>(idle->items[idle->count]);
}

// Per-server counts of counted connections and their caps: "host:port" -> ServerSlots, guarded by
// slotMutex. slotMutex is taken before poolMutex, never while poolMutex is held.
struct ServerSlots {
    int open; // counted connections: idle in the pool, in use, or being opened
    int cap;  // 0: none
};
static HashMap* serverSlots = nullptr;
static std::mutex slotMutex;
// Told when a counted connection is closed or pooled idle, and when a cap is lifted.
static std::condition_variable slotChanged;

// The entry of key, made when missing; slotMutex held.
static ServerSlots* slotsOf(const char* key) {
    if (!serverSlots) serverSlots = hashMapCreateDefault(stringHash, stringEquals);
    ServerSlots* slots = static_cast<ServerSlots*>(hashMapGet(serverSlots, key));
    if (!slots) {
        slots = static_cast<ServerSlots*>(allocateZeroed(sizeof(ServerSlots)));
        hashMapPut(serverSlots, duplicateString(key), slots);
    }
    return slots;
}

static void giveSlot(const char* serverKey) {
    std::lock_guard<std::mutex> lock(slotMutex);
    ServerSlots* slots = slotsOf(serverKey);
    if (slots->open > 0) slots->open--;
    slotChanged.notify_all();
}

static int overCap(const char* serverKey) {
    std::lock_guard<std::mutex> lock(slotMutex);
    ServerSlots* slots = slotsOf(serverKey);
    return slots->cap > 0 && slots->open > slots->cap;
}

static int idleCount(const char* key) {
    std::lock_guard<std::mutex> lock(poolMutex);
    ArrayList* idle = socketPool ? static_cast<ArrayList*>(hashMapGet(socketPool, key)) : nullptr;
    return idle ? idle->count : 0;
}

enum SlotWait { SLOT_TAKEN, SLOT_IDLE, SLOT_STOPPED };

// Takes room for one more connection to the server, waiting while it is at its cap. SLOT_IDLE when
// the server is at its cap and an idle connection under poolKey holds room that can be used.
static int waitForSlot(const char* serverKey, const char* poolKey, char* errorText) {
    std::unique_lock<std::mutex> lock(slotMutex);
    for (;;) {
        ServerSlots* slots = slotsOf(serverKey);
        if (slots->cap == 0 || slots->open < slots->cap) {
            slots->open++;
            return SLOT_TAKEN;
        }
        if (idleCount(poolKey) > 0) return SLOT_IDLE;
        if (transferStopRequested()) {
            std::snprintf(errorText, ERROR_TEXT_SIZE, programText("连接已中止：收到停止请求。"));
            return SLOT_STOPPED;
        }
        slotChanged.wait_for(lock, std::chrono::milliseconds(STOP_CHECK_MILLISECONDS));
    }
}

// Set when the calling thread's last counted connection could not be opened while other connections
// to its server were open.
static thread_local int connectRefusedByLimit = 0;

int lastConnectRefusedByLimit() {
    return connectRefusedByLimit;
}

// Takes back the failure that a connect refused by the server's connection limit counted.
static void forgiveFailure(const char* key) {
    std::lock_guard<std::mutex> lock(failureMutex);
    if (!connectFailures) return;
    intptr_t count = countOf(hashMapGet(connectFailures, key));
    if (count > 0) hashMapPut(connectFailures, const_cast<char*>(key), countValue(count - 1));
}

// openStreamConnection on room already taken for serverKey (which the connection then owns).
static Connection* openOnSlot(const char* host, int port, int secure, char* errorText,
                              int* certificateRefused, char* serverKey) {
    connectRefusedByLimit = 0;
    int badCertificate = 0;
    std::string countedKey;
    Connection* connection =
        openRoutedConnection(host, port, secure, errorText, &badCertificate, &countedKey);
    if (badCertificate && certificateRefused) *certificateRefused = 1;
    if (!connection) {
        // A server (or the proxy on its way) may reset a connection beyond its limit before the
        // connect is seen to finish.
        if (!badCertificate && !transferStopRequested() && lowerConnectionCap(host, port)) {
            forgiveFailure(countedKey.empty() ? serverKey : countedKey.c_str());
            connectRefusedByLimit = 1;
        }
        giveSlot(serverKey);
        std::free(serverKey);
        return nullptr;
    }
    connection->slotKey = serverKey;
    return connection;
}

Connection* openCountedConnection(const char* host, int port, int secure, char* errorText,
                                  int* certificateRefused) {
    connectRefusedByLimit = 0;
    if (!host) return openStreamConnection(host, port, secure, errorText, certificateRefused);
    HeapText server = serverKey(host, port);
    HeapText key = poolKey(host, port, secure);
    for (;;) {
        int waited = waitForSlot(server.get(), key.get(), errorText);
        if (waited == SLOT_STOPPED) return nullptr;
        if (waited == SLOT_TAKEN) break;
        // An idle connection holds the room this one needs.
        closeConnection(takeIdleConnection(key.get()));
    }
    return openOnSlot(host, port, secure, errorText, certificateRefused, server.release());
}

Connection* acquirePooledConnection(const char* host, int port, int secure, char* errorText,
                                    int* certificateRefused) {
    connectRefusedByLimit = 0;
    if (!host) return openStreamConnection(host, port, secure, errorText, certificateRefused);
    HeapText key = poolKey(host, port, secure);
    HeapText server = serverKey(host, port);
    const std::string route = currentRoute(host, port, secure);
    for (;;) {
        while (Connection* pooled = takeIdleConnection(key.get())) {
            // An idle kept-alive connection has nothing to read. Bytes nobody asked for, or the
            // server's close, put it out of step with its requests: it is never sent on again. One
            // beyond a cap lowered meanwhile is closed too, and one that goes another way than the
            // run's proxy settings say.
            int sameRoute = route == (pooled->route ? pooled->route : "");
            if (sameRoute && stillInStep(pooled) && !overCap(server.get())) {
                pooled->reused = 1;
                return pooled;
            }
            closeConnection(pooled);
        }
        int waited = waitForSlot(server.get(), key.get(), errorText);
        if (waited == SLOT_STOPPED) return nullptr;
        if (waited == SLOT_TAKEN) break;
    }
    writeLogFormat("%s:%d --- new socket()", host, port);
    return openOnSlot(host, port, secure, errorText, certificateRefused, server.release());
}

void releasePooledConnection(Connection* connection, int keep) {
    if (!connection) return;
    if (!keep || (connection->slotKey && overCap(connection->slotKey))) {
        closeConnection(connection);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(poolMutex);
        if (!socketPool) socketPool = hashMapCreateDefault(stringHash, stringEquals);
        ArrayList* idle = static_cast<ArrayList*>(hashMapGet(socketPool, connection->key));
        if (!idle) {
            idle = arrayListCreateDefault();
            hashMapPut(socketPool, duplicateString(connection->key), idle);
        }
        arrayListAdd(idle, connection);
    }
    // A connection waiting for room may take this one.
    std::lock_guard<std::mutex> lock(slotMutex);
    slotChanged.notify_all();
}

int lowerConnectionCap(const char* host, int port) {
    if (!host) return 0;
    HeapText key = serverKey(host, port);
    int cap;
    {
        std::lock_guard<std::mutex> lock(slotMutex);
        ServerSlots* slots = slotsOf(key.get());
        int others = slots->open - 1;
        if (others < 1) return 0;
        if (slots->cap > 0 && slots->cap <= others) return 1;
        slots->cap = others;
        cap = others;
    }
    writeLogFormat(programText("%s:%d 拒绝了多余的连接，本次搬家最多同时使用 %d 个连接。"), host, port, cap);
    return 1;
}

void resetConnectionCaps() {
    std::lock_guard<std::mutex> lock(slotMutex);
    if (!serverSlots) return;
    KeyListNode* keys = hashMapKeys(serverSlots);
    for (KeyListNode* node = keys; node; node = node->next)
        static_cast<ServerSlots*>(hashMapGet(serverSlots, node->key))->cap = 0;
    hashMapFreeKeyList(keys);
    slotChanged.notify_all();
}

int pooledConnectionCount(const char* host, int port, int secure) {
    HeapText key = poolKey(host, port, secure);
    std::lock_guard<std::mutex> lock(poolMutex);
    if (!socketPool) return 0;
    ArrayList* idle = static_cast<ArrayList*>(hashMapGet(socketPool, key.get()));
    return idle ? idle->count : 0;
}

void closeAllPooledSockets() {
    // Closing gives the connections' room back under slotMutex, which is never taken inside poolMutex.
    ArrayList* closing = arrayListCreateDefault();
    {
        std::lock_guard<std::mutex> lock(poolMutex);
        if (socketPool) {
            KeyListNode* keys = hashMapKeys(socketPool);
            for (KeyListNode* node = keys; node; node = node->next) {
                ArrayList* idle = static_cast<ArrayList*>(hashMapGet(socketPool, node->key));
                for (int32_t i = 0; i < idle->count; i++)
                    arrayListAdd(closing, idle->items[i]);
                arrayListDestroy(idle, 0);
            }
            hashMapFreeKeyList(keys);
            hashMapClear(socketPool, 1, 0);
        }
    }
    for (int32_t i = 0; i < closing->count; i++)
        closeConnection(static_cast<Connection*>(closing->items[i]));
    arrayListDestroy(closing, 0);
}

int setExtraCaFile(const char* path, char* errorText) {
    char detail[TLS_DETAIL_SIZE] = {0};
    // A pipe, a device or a folder is never opened: reading one may wait for ever.
    if (path && *path && !isRegularFile(path)) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("无法使用CA证书文件：%s（不是普通文件）"),
                      path);
        return 0;
    }
    if (tlsConfigureTrust(path, detail)) return 1;
    std::snprintf(errorText, ERROR_TEXT_SIZE,
                  programText("无法使用CA证书文件：%s（文件无法读取或不含证书：%s）"), path ? path : "",
                  detail);
    return 0;
}

int applyCaFileFromEnvironment(char* errorText) {
    const char* path = std::getenv(CA_FILE_VARIABLE);
    if (!path || !*path) return 1;
    return setExtraCaFile(path, errorText);
}
