// IPv4 addresses from text and from name lookups. The socket calls used here have the same form
// under Winsock and BSD sockets, so both platforms build this one file; only the headers differ.
#include "platform/sockets.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

int parseIpv4Address(const char* text, uint32_t* address) {
    startSockets();
    struct in_addr parsed;
    if (inet_pton(AF_INET, text, &parsed) != 1) return 0;
    *address = parsed.s_addr;
    return 1;
}

int resolveIpv4Address(const char* host, uint32_t* address) {
    if (parseIpv4Address(host, address)) return 1;
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return 0;
    int ok = 0;
    for (struct addrinfo* entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr) {
            *address = reinterpret_cast<struct sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
            ok = 1;
            break;
        }
    }
    freeaddrinfo(found);
    return ok;
}
