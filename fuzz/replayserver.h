// A loopback server for the network fuzz targets: every connection reads one request and is
// answered with the current input's bytes, then closed. Connections are served one at a time on a
// thread of the server's own that lives as long as the process.
#pragma once
#include "http/connectiontest.h"
#include "platform/sockets.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

struct ReplayServer {
    SocketHandle listener = NO_SOCKET;
    uint16_t port = 0;
    std::mutex mutex;
    std::string response;
    std::thread thread;
};

inline void serveReplays(ReplayServer* server) {
    for (;;) {
        SocketHandle connection = acceptConnection(server->listener, 1000);
        if (connection == NO_SOCKET) continue;
        std::string request;
        char block[4096];
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
            if (waitReadable(connection, 200) != 1) break;
            int n = receiveSome(connection, block, sizeof block);
            if (n <= 0) break;
            request.append(block, static_cast<size_t>(n));
        }
        std::string response;
        {
            std::lock_guard<std::mutex> lock(server->mutex);
            response = server->response;
        }
        if (!response.empty()) sendAll(connection, response.data(), static_cast<int>(response.size()));
        shutdownSocket(connection);
        closeSocket(connection);
    }
}

// The process's replay server, started on first use with the engine's network set to loopback only
// and short time-outs.
inline ReplayServer* replayServer() {
    static ReplayServer* server = nullptr;
    if (server) return server;
    startSockets();
    initConnectionPool();
    setLoopbackOnly(1);
    setConnectionTimeouts(200, 200);
    server = new ReplayServer;
    server->listener = listenOnLoopback(0, 16, &server->port);
    if (server->listener == NO_SOCKET) {
        std::fprintf(stderr, "replay server: cannot listen on 127.0.0.1\n");
        std::abort();
    }
    server->thread = std::thread(serveReplays, server);
    server->thread.detach();
    return server;
}

// Sets the answer for the next connections and forgets what earlier inputs left behind (pooled
// connections, failure counts), so that every input runs alone.
inline void setReplay(ReplayServer* server, const uint8_t* data, size_t size) {
    {
        std::lock_guard<std::mutex> lock(server->mutex);
        server->response.assign(reinterpret_cast<const char*>(data), size);
    }
    closeAllPooledSockets();
    resetConnectFailures();
}
