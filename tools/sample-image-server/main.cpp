// The sample image server of the demo: serves the files of one folder over HTTP on 127.0.0.1.
// Files are answered in turn with a Content-Length, as a chunked body, or delimited by the end
// of the connection, so that a run meets every framing an image host uses. A missing file is a
// 404. Usage: sample-image-server FOLDER [--port N] [--port-file FILE] [--delay-ms N]
//                                  [--framing mixed|length|chunked|close] [--quiet]
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef int socklen_t;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#ifdef _WIN32
typedef SOCKET ServerSocket;
static void closeServerSocket(ServerSocket s) {
    closesocket(s);
}
#else
typedef int ServerSocket;
static void closeServerSocket(ServerSocket s) {
    close(s);
}
#endif

static std::string folder;
static int delayMs = 0;
// -1: each file's framing follows from its name; otherwise always this one (0 length, 1 chunked,
// 2 end of connection).
static int fixedFraming = -1;
static int quiet = 0;
static std::atomic<int> requestCount{0};

static bool sendAll(ServerSocket s, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
#ifdef _WIN32
        int n = send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
#else
        ssize_t n = send(s, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
#endif
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

static bool readFile(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    *bytes = all.str();
    return true;
}

static std::string contentType(const std::string& path) {
    if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".png") == 0) return "image/png";
    if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".gif") == 0) return "image/gif";
    if (path.size() >= 5 && path.compare(path.size() - 5, 5, ".webp") == 0) return "image/webp";
    return "image/jpeg";
}

// Answers one request; returns false when the connection must close afterwards.
static bool answer(ServerSocket s, const std::string& requestLine, bool keepAlive) {
    std::string target;
    std::istringstream line(requestLine);
    std::string method;
    line >> method >> target;
    std::string name = target.substr(target.find_last_of('/') + 1);
    std::string query = name.find('?') != std::string::npos ? name.substr(name.find('?')) : "";
    name = name.substr(0, name.find('?'));
    int number = ++requestCount;
    if (!quiet) {
        std::printf("%d %s %s\n", number, method.c_str(), target.c_str());
        std::fflush(stdout);
    }
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));

    std::string body;
    if (name.empty() || name.find("..") != std::string::npos || !readFile(folder + "/" + name, &body)) {
        std::string page = "<html><body>404 Not Found</body></html>";
        return sendAll(s, "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: " +
                              std::to_string(page.size()) + "\r\n\r\n" + page) &&
               keepAlive;
    }
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: " + contentType(name) + "\r\n";
    unsigned framing = 0;
    for (char c : name)
        framing = framing * 31 + static_cast<unsigned char>(c);
    switch (fixedFraming >= 0 ? static_cast<unsigned>(fixedFraming) : framing % 3) {
    case 0:
        return sendAll(s, head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body) &&
               keepAlive;
    case 1: {
        std::string chunked = head + "Transfer-Encoding: chunked\r\n\r\n";
        for (size_t at = 0; at < body.size(); at += 1000) {
            size_t n = body.size() - at < 1000 ? body.size() - at : 1000;
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", n);
            chunked += size + body.substr(at, n) + "\r\n";
        }
        chunked += "0\r\n\r\n";
        return sendAll(s, chunked) && keepAlive;
    }
    default:
        // Delimited by the end of the connection.
        sendAll(s, head + "Connection: close\r\n\r\n" + body);
        return false;
    }
}

static void serveConnection(ServerSocket s) {
    std::string pending;
    char block[4096];
    for (;;) {
        size_t end;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
            int n = static_cast<int>(recv(s, block, sizeof block, 0));
            if (n <= 0 || pending.size() > 65536) {
                closeServerSocket(s);
                return;
            }
            pending.append(block, static_cast<size_t>(n));
        }
        std::string head = pending.substr(0, end);
        pending.erase(0, end + 4);
        bool keepAlive =
            head.find("HTTP/1.1") != std::string::npos && head.find("Connection: close") == std::string::npos;
        if (!answer(s, head.substr(0, head.find("\r\n")), keepAlive)) break;
    }
    closeServerSocket(s);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: sample-image-server FOLDER [--port N] [--port-file FILE] [--delay-ms N]\n");
        return 2;
    }
    folder = argv[1];
    int port = 0;
    const char* portFile = nullptr;
    for (int i = 2; i < argc; i++) {
        const char* option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (std::strcmp(option, "--quiet") == 0) {
            quiet = 1;
            continue;
        }
        i++;
        if (std::strcmp(option, "--port") == 0) {
            port = std::atoi(value);
        } else if (std::strcmp(option, "--port-file") == 0) {
            portFile = value;
        } else if (std::strcmp(option, "--delay-ms") == 0) {
            delayMs = std::atoi(value);
        } else if (std::strcmp(option, "--framing") == 0) {
            fixedFraming = std::strcmp(value, "length") == 0    ? 0
                           : std::strcmp(value, "chunked") == 0 ? 1
                           : std::strcmp(value, "close") == 0   ? 2
                                                                : -1;
        }
    }
#ifdef _WIN32
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
#endif
    ServerSocket listener = socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<unsigned short>(port));
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 64) != 0) {
        std::fprintf(stderr, "sample-image-server: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    std::printf("serving %s on http://127.0.0.1:%d/\n", folder.c_str(), port);
    std::fflush(stdout);
    if (portFile) {
        std::string temporary = std::string(portFile) + ".tmp";
        FILE* f = std::fopen(temporary.c_str(), "w");
        if (f) {
            std::fprintf(f, "%d\n", port);
            std::fclose(f);
            std::rename(temporary.c_str(), portFile);
        }
    }
    for (;;) {
        ServerSocket client = accept(listener, nullptr, nullptr);
#ifdef _WIN32
        if (client == INVALID_SOCKET) continue;
#else
        if (client < 0) continue;
#endif
        std::thread(serveConnection, client).detach();
    }
}
