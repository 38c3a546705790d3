// A scripted HTTP forward proxy on 127.0.0.1 for tests, benchmarks and local trials. It listens on
// an ephemeral port on a thread of its own and serves each client connection on a further thread,
// one request after another, logging every request line and Proxy-Authorization value it reads.
//
// An absolute-form request ("GET http://host:port/path HTTP/1.1") is sent upstream in origin form
// without the proxy's own headers, over an upstream connection kept for the next request to the
// same target, and its answer is relayed by its own framing. "CONNECT host:port" opens a tunnel
// that relays bytes both ways until either side closes. Targets are looked up in the host map
// first ("img.bench.test:80" -> "127.0.0.1:PORT"), else taken as a literal IPv4 address or
// "localhost"; anything else gets a 502.
//
// Scripting: a required Basic authorization (a wrong or missing one gets a 407 and the connection
// stays open), a 407 for every request, and ports that a CONNECT may not reach (403).
#pragma once
#include "platform/sockets.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct TestProxyConnection {
    SocketHandle client = NO_SOCKET;
    SocketHandle upstream = NO_SOCKET; // guarded by the proxy's mutex; shut down by a stop
    std::thread thread;
    std::atomic<bool> finished{false};
};

struct TestProxy {
    uint16_t port = 0;
    SocketHandle listener = NO_SOCKET;
    std::atomic<bool> stopping{false};
    std::thread acceptThread;

    std::mutex mutex;                           // guards everything below
    std::string requiredAuthorization;          // non-empty: the exact Proxy-Authorization value required
    bool alwaysAnswer407 = false;               // every request gets a 407
    std::set<int> refusedConnectPorts;          // a CONNECT to these ports gets a 403
    std::map<std::string, std::string> hostMap; // "host:port" -> "127.0.0.1:port2"
    std::vector<std::string> requestLines;      // every request line read, in order
    std::vector<std::string> authorizations;    // each Proxy-Authorization value seen ("" when none)
    int connections = 0;                        // client connections accepted
    std::vector<std::unique_ptr<TestProxyConnection>> open;

    ~TestProxy();
};

// Starts listening on 127.0.0.1 on an ephemeral port; returns 1 on success.
int startTestProxy(TestProxy& proxy);
// Stops accepting, ends every connection and tunnel and waits for the threads. Safe to call twice.
void stopTestProxy(TestProxy& proxy);

// Requires "Proxy-Authorization: Basic base64(user:password)" on every request.
void requireProxyBasicAuth(TestProxy& proxy, const std::string& user, const std::string& password);
void answerEvery407(TestProxy& proxy, bool on);
void refuseConnectToPort(TestProxy& proxy, int port);
// Sends requests and tunnels for hostPort ("host:port") to target ("127.0.0.1:port").
void mapProxyHost(TestProxy& proxy, const std::string& hostPort, const std::string& target);

std::vector<std::string> proxyRequestLines(TestProxy& proxy);
std::vector<std::string> proxyAuthorizations(TestProxy& proxy);
int proxyConnectionCount(TestProxy& proxy);
// "http://127.0.0.1:PORT", or "http://USERINFO@127.0.0.1:PORT" when userInfo is given.
std::string proxyUrl(const TestProxy& proxy, const std::string& userInfo = "");
// The standard Base64 of the bytes, with padding.
std::string base64Text(const std::string& bytes);
