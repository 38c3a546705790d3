// The HTTP wire text as the program sends and reads it: addresses, the GET request, the response
// head and the status prefixes.
#pragma once
#include <cstdint>

struct UrlParts {
    char* host;     // as written in the address; may be empty
    char* path;     // from the first "/" after the host to the end: path, query and fragment
    uint32_t port;  // only the low 16 bits reach the socket address
    int secure = 0; // fetched over TLS: an https or "//host/..." address read in secure mode
};

// Splits an address. Returns 1 with both strings allocated, 0 (nothing allocated) when the address
// is not usable. In secure mode (secureMode 1) "https://" in any letter case (443 when no port is
// written) and "//host/..." are https addresses (secure 1). Otherwise any "http..." address is read
// as plain http and only a lower-case "https:" changes the default port to 443.
int parseUrl(const char* url, UrlParts* parts, int secureMode);
// Releases what parseUrl allocated; safe on a record whose strings are null.
void freeUrlParts(UrlParts* parts);

// The request buffer of every caller.
constexpr int REQUEST_BUFFER_SIZE = 1024;
// Composes the GET request (the Host line leaves out the scheme's own port): keep-alive mode (HTTP/1.1,
// "Connection: keep-alive") when keepAlive is 1, close mode (HTTP/1.0, "Connection: close") otherwise.
// Returns the request's length, or -1 (leaving an empty string) when host, port and path do not fit into size
// bytes.
int buildGetRequest(const UrlParts* parts, int keepAlive, char* request, int size);

// The request buffer of a request to an http proxy: the request of buildGetRequest with the
// address in absolute form and a Proxy-Authorization line.
constexpr int PROXIED_REQUEST_BUFFER_SIZE = REQUEST_BUFFER_SIZE + 1024;
// buildGetRequest for an http proxy: "GET http://host[:port]/path" and, when authorization is not
// nullptr, "Proxy-Authorization: " and its value. An address is sent through a proxy exactly when
// it could be sent direct: the request must fit REQUEST_BUFFER_SIZE in its direct form. Returns the
// request's length, or -1 (leaving an empty string).
int buildProxiedGetRequest(const UrlParts* parts, int keepAlive, const char* authorization, char* request,
                           int size);

constexpr int LOCATION_SIZE = 512;
constexpr int CONNECTION_SIZE = 16;
constexpr int CONTENT_ENCODING_SIZE = 32;

struct HttpHeader {
    int32_t contentLength; // -1 when absent
    int32_t isChunked;     // "Transfer-Encoding: chunked" present
    char location[LOCATION_SIZE];
    char connection[CONNECTION_SIZE];
    char contentEncoding[CONTENT_ENCODING_SIZE];
    // Set when a Location value did not fit its field. Such a value is not stored at all, since a
    // shortened address would fetch the wrong file; the caller refuses the redirect.
    int32_t locationTooLong;
    // Retry-After in seconds (0 to MAX_RETRY_AFTER_SECONDS), -1 when absent or unreadable.
    int32_t retryAfterSeconds;
};

// The longest wait a Retry-After can ask for; a longer one is cut to it.
constexpr int MAX_RETRY_AFTER_SECONDS = 60;
// Reads a Retry-After value: delta seconds, or an HTTP date (IMF-fixdate, RFC 850 or asctime form)
// taken against now (seconds since 1970, UTC). Returns 0 to MAX_RETRY_AFTER_SECONDS (a date in the
// past is 0), or -1 when the value is neither.
int parseRetryAfter(const char* value, long long nowSeconds);

// Parses a response head (the text before the blank line, NUL-terminated, cut up in place) into a
// zero-filled header. contentLength and isChunked are always set; the other fields only when their
// line is present.
//
// Values longer than their field: Connection and Content-Encoding are cut to fit, which changes
// none of the decisions made on them (equal to "close"; present at all). A Location that does not
// fit is dropped and marks locationTooLong. A Content-Length beyond the range of int32_t reads as
// its largest value, so it is refused as too large instead of wrapping around.
void parseResponseHead(char* head, HttpHeader* header);

// Status line prefixes.
constexpr const char* STATUS_200_HTTP11 = "HTTP/1.1 200 OK";
constexpr const char* STATUS_200_HTTP10 = "HTTP/1.0 200 OK";
constexpr const char* STATUS_REDIRECTS[] = {"HTTP/1.0 301", "HTTP/1.1 301", "HTTP/1.0 302", "HTTP/1.1 302"};
constexpr int STATUS_REDIRECT_COUNT = 4;
constexpr const char* STATUS_404_HTTP10 = "HTTP/1.0 404";
constexpr const char* STATUS_404_HTTP11 = "HTTP/1.1 404";

// The status tests of the image download (letter case ignored) and of the text fetch (letter case
// significant), made on the start of the received data.
int isImageStatusOk(const char* response);
int isImageStatusRedirect(const char* response);
int isImageStatusNotFound(const char* response);
// 503 Service Unavailable or 429 Too Many Requests, in HTTP/1.0 or 1.1.
int isImageStatusBusy(const char* response);
int isFetchStatusOk(const char* response);

// Position of the first "\r\n\r\n" in the first length bytes of data, or -1. NUL bytes in the data
// do not end the search.
int findHeadEnd(const char* data, int length);
// Takes `received` bytes that arrived at data + *filled into the bytes held, keeps them
// NUL-terminated and returns the offset of the head's end "\r\n\r\n" once it has arrived,
// else -1. Only the bytes that can complete the marker are searched again.
int takeHeadBytes(char* data, int* filled, int received);
