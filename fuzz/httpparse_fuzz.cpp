// Any bytes as an address and as a response head: parseUrl, buildGetRequest and parseResponseHead
// never write past their buffers and keep their promises. The input is split at its first NUL: the
// address before it, the head after it.
#include "http/httpparse.h"
#include "support/fuzzwindow.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const char* split = static_cast<const char*>(std::memchr(bytes, '\0', size));
    std::string address(bytes, split ? static_cast<size_t>(split - bytes) : size);
    std::string head =
        split ? std::string(split + 1, size - static_cast<size_t>(split - bytes) - 1) : std::string();

    UrlParts parts = {nullptr, nullptr, 0};
    if (parseUrl(address.c_str(), &parts, 0)) {
        FUZZ_CHECK(parts.host && parts.path);
        FUZZ_CHECK(parts.path[0] == '/');
        FUZZ_CHECK(std::strlen(parts.host) + std::strlen(parts.path) < address.size());
        for (int keepAlive = 0; keepAlive < 2; keepAlive++) {
            // A buffer of exactly the request size, so that any write past it is seen.
            std::unique_ptr<char[]> request(new char[REQUEST_BUFFER_SIZE]);
            int n = buildGetRequest(&parts, keepAlive, request.get(), REQUEST_BUFFER_SIZE);
            if (n < 0) {
                FUZZ_CHECK(n == -1 && request[0] == '\0');
            } else {
                FUZZ_CHECK(n < REQUEST_BUFFER_SIZE && std::strlen(request.get()) == static_cast<size_t>(n));
                FUZZ_CHECK(std::strncmp(request.get(), "GET /", 5) == 0);
                FUZZ_CHECK(n >= 4 && std::strcmp(request.get() + n - 4, "\r\n\r\n") == 0);
            }
        }
        freeUrlParts(&parts);
        FUZZ_CHECK(!parts.host && !parts.path);
    } else {
        FUZZ_CHECK(!parts.host && !parts.path);
    }

    std::unique_ptr<char[]> text(new char[head.size() + 1]);
    std::memcpy(text.get(), head.data(), head.size());
    text[head.size()] = '\0';
    HttpHeader header;
    std::memset(&header, 0, sizeof header);
    parseResponseHead(text.get(), &header);
    FUZZ_CHECK(std::memchr(header.location, '\0', sizeof header.location) != nullptr);
    FUZZ_CHECK(std::memchr(header.connection, '\0', sizeof header.connection) != nullptr);
    FUZZ_CHECK(std::memchr(header.contentEncoding, '\0', sizeof header.contentEncoding) != nullptr);
    FUZZ_CHECK(header.isChunked == 0 || header.isChunked == 1);
    FUZZ_CHECK(!header.locationTooLong || header.location[0] == '\0');
    return 0;
}
