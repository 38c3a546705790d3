// Parsing and writing the HTTP wire text: addresses, the GET request and the response head.
#include "http/httpparse.h"

#include "core/allocate.h"
#include "core/containers.h"
#include "core/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

static char* copyRange(const char* begin, const char* end) {
    size_t n = static_cast<size_t>(end - begin);
    char* copy = static_cast<char*>(allocateBytes(n + 1));
    std::memcpy(copy, begin, n);
    copy[n] = '\0';
    return copy;
}

static int isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi's reading (leading white space, a sign, digits) without its undefined overflow: the value
// wraps around in 32 bits.
static uint32_t readPort(const char* text) {
    while (isBlank(*text))
        text++;
    int negative = 0;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; text++)
        value = value * 10u + static_cast<uint32_t>(*text - '0');
    return negative ? 0u - value : value;
}

// atoi's reading, held to the range of int32_t.
static int32_t readLength(const char* text) {
    while (isBlank(*text))
        text++;
    int negative = 0;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        value = value * 10 + (*text - '0');
        if (value > 2147483648LL) value = 2147483648LL;
    }
    if (negative) return static_cast<int32_t>(-value);
    return value > 2147483647LL ? 2147483647 : static_cast<int32_t>(value);
}

int parseUrl(const char* url, UrlParts* parts, int secureMode) {
    if (!url || !parts) return 0;
    const int secure = secureMode != 0;
    int relative = secure && url[0] == '/' && url[1] == '/' && url[2] != '\0' && url[2] != '/';
    if (!relative && !startsWithIgnoreCase(url, "http")) return 0;
    const char* slash = std::strchr(url, '/');
    // The host begins two characters after the first "/", whatever lies between.
    if (!slash || slash[1] == '\0') return 0;
    const char* hostStart = slash + 2;
    const char* pathStart = std::strchr(hostStart, '/');
    if (!pathStart) return 0;

    parts->secure = secure && (relative || startsWithIgnoreCase(url, "https:"));
    const char* colon =
        static_cast<const char*>(std::memchr(hostStart, ':', static_cast<size_t>(pathStart - hostStart)));
    if (colon) {
        parts->host = copyRange(hostStart, colon);
        parts->port = readPort(colon + 1);
    } else {
        parts->host = copyRange(hostStart, pathStart);
        parts->port = parts->secure || startsWith(url, "https:") ? 443u : 80u;
    }
    parts->path = copyRange(pathStart, pathStart + std::strlen(pathStart));
    return 1;
}

void freeUrlParts(UrlParts* parts) {
    if (!parts) return;
    std::free(parts->host);
    std::free(parts->path);
    parts->host = nullptr;
    parts->path = nullptr;
}

int buildGetRequest(const UrlParts* parts, int keepAlive, char* request, int size) {
    if (size <= 0) return -1;
    request[0] = '\0';
    if (!parts || !parts->host || !parts->path) return -1;
    const char* protocol = keepAlive ? " HTTP/1.1" : " HTTP/1.0";
    const char* last = keepAlive ? "\r\nConnection: keep-alive\r\n\r\n" : "\r\nConnection: close\r\n\r\n";
    static const char* const fixedHeaders =
        "\r\nAccept: */*"
        "\r\nAccept-Language: zh-cn"
        "\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 5.2; "
        "Trident/4.0; CIBA)";
    int n;
    if (parts->port == (parts->secure ? 443u : 80u)) {
        n = std::snprintf(request, static_cast<size_t>(size), "GET %s%s%s\r\nHost: %s%s", parts->path,
                          protocol, fixedHeaders, parts->host, last);
    } else {
        n = std::snprintf(request, static_cast<size_t>(size), "GET %s%s%s\r\nHost: %s:%d%s", parts->path,
                          protocol, fixedHeaders, parts->host, static_cast<int>(parts->port), last);
    }
    if (n < 0 || n >= size) {
        request[0] = '\0';
        return -1;
    }
    return n;
}

int buildProxiedGetRequest(const UrlParts* parts, int keepAlive, const char* authorization, char* request,
                           int size) {
    char direct[REQUEST_BUFFER_SIZE];
    int directLength = buildGetRequest(parts, keepAlive, direct, sizeof direct);
    if (size <= 0) return -1;
    request[0] = '\0';
    if (directLength < 0) return -1;
    // "GET " path ... "\r\n\r\n": the path becomes the whole address, and the authorization
    // goes before the blank line.
    const char* afterPath = direct + 4 + std::strlen(parts->path);
    int headEnd = directLength - 2;
    char port[16] = "";
    if (parts->port != 80u) std::snprintf(port, sizeof port, ":%d", static_cast<int>(parts->port));
    int n;
    if (authorization) {
        n = std::snprintf(request, static_cast<size_t>(size),
                          "GET http://%s%s%s%.*sProxy-Authorization: %s\r\n\r\n", parts->host, port,
                          parts->path, static_cast<int>(direct + headEnd - afterPath), afterPath,
                          authorization);
    } else {
        n = std::snprintf(request, static_cast<size_t>(size), "GET http://%s%s%s%s", parts->host, port,
                          parts->path, afterPath);
    }
    if (n < 0 || n >= size) {
        request[0] = '\0';
        return -1;
    }
    return n;
}

// Copies value into a field of `size` bytes; returns 0 when it had to be cut.
static int copyValue(char* field, size_t size, const char* value) {
    return copyBounded(field, size, value);
}

// Reads minDigits to maxDigits decimal digits.
static int readNumber(const char** text, int minDigits, int maxDigits, int* value) {
    const char* p = *text;
    int digits = 0;
    int v = 0;
    for (; digits < maxDigits && *p >= '0' && *p <= '9'; p++, digits++)
        v = v * 10 + (*p - '0');
    if (digits < minDigits) return 0;
    *text = p;
    *value = v;
    return 1;
}

static int readLiteral(const char** text, const char* literal) {
    size_t n = std::strlen(literal);
    if (std::strncmp(*text, literal, n) != 0) return 0;
    *text += n;
    return 1;
}

static int readMonth(const char** text, int* month) {
    static const char* const names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; i++) {
        if (readLiteral(text, names[i])) {
            *month = i + 1;
            return 1;
        }
    }
    return 0;
}

// "HH:MM:SS" as seconds of the day.
static int readClock(const char** text, int* seconds) {
    int h, m, s;
    if (!readNumber(text, 2, 2, &h) || !readLiteral(text, ":") || !readNumber(text, 2, 2, &m) ||
        !readLiteral(text, ":") || !readNumber(text, 2, 2, &s) || h > 23 || m > 59 || s > 60)
        return 0;
    *seconds = h * 3600 + m * 60 + s;
    return 1;
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
static long long daysFromCivil(int year, int month, int day) {
    long long y = month <= 2 ? year - 1 : year;
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yearOfEra = y - era * 400;
    long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// An HTTP date as seconds since 1970; 0 when the text is none of its three forms.
static int readHttpDate(const char* text, long long* when) {
    const char* p = text;
    while ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z'))
        p++;
    if (p == text) return 0;
    int day = 0, month = 0, year = 0, clock = 0;
    if (readLiteral(&p, ", ")) {
        const char* q = p;
        if (readNumber(&q, 2, 2, &day) && readLiteral(&q, " ")) {
            // Sun, 06 Nov 1994 08:49:37 GMT
            if (!readMonth(&q, &month) || !readLiteral(&q, " ") || !readNumber(&q, 4, 4, &year) ||
                !readLiteral(&q, " ") || !readClock(&q, &clock) || !readLiteral(&q, " GMT"))
                return 0;
        } else {
            // Sunday, 06-Nov-94 08:49:37 GMT
            q = p;
            if (!readNumber(&q, 2, 2, &day) || !readLiteral(&q, "-") || !readMonth(&q, &month) ||
                !readLiteral(&q, "-") || !readNumber(&q, 2, 2, &year) || !readLiteral(&q, " ") ||
                !readClock(&q, &clock) || !readLiteral(&q, " GMT"))
                return 0;
            year += year < 70 ? 2000 : 1900;
        }
        p = q;
    } else {
        // Sun Nov  6 08:49:37 1994
        if (!readLiteral(&p, " ") || !readMonth(&p, &month) || !readLiteral(&p, " ")) return 0;
        if (*p == ' ') p++;
        if (!readNumber(&p, 1, 2, &day) || !readLiteral(&p, " ") || !readClock(&p, &clock) ||
            !readLiteral(&p, " ") || !readNumber(&p, 4, 4, &year))
            return 0;
    }
    if (*p != '\0' || day < 1 || day > 31) return 0;
    *when = daysFromCivil(year, month, day) * 86400 + clock;
    return 1;
}

int parseRetryAfter(const char* value, long long nowSeconds) {
    if (!value) return -1;
    while (*value == ' ' || *value == '\t')
        value++;
    size_t length = std::strlen(value);
    while (length > 0 && (value[length - 1] == ' ' || value[length - 1] == '\t'))
        length--;
    if (length == 0 || length > 64) return -1;
    char text[65];
    std::memcpy(text, value, length);
    text[length] = '\0';
    if (text[0] >= '0' && text[0] <= '9') {
        long long seconds = 0;
        for (const char* p = text; *p; p++) {
            if (*p < '0' || *p > '9') return -1;
            if (seconds <= MAX_RETRY_AFTER_SECONDS) seconds = seconds * 10 + (*p - '0');
        }
        return seconds > MAX_RETRY_AFTER_SECONDS ? MAX_RETRY_AFTER_SECONDS : static_cast<int>(seconds);
    }
    long long when = 0;
    if (!readHttpDate(text, &when)) return -1;
    long long wait = when - nowSeconds;
    if (wait < 0) return 0;
    return wait > MAX_RETRY_AFTER_SECONDS ? MAX_RETRY_AFTER_SECONDS : static_cast<int>(wait);
}

void parseResponseHead(char* head, HttpHeader* header) {
    int32_t contentLength = -1;
    int32_t isChunked = 0;
    header->retryAfterSeconds = -1;
    char* cursor = head;
    while (cursor) {
        char* line = nextToken(&cursor, "\r\n");
        if (!line || !*line) continue;
        if (startsWithIgnoreCase(line, "Content-Length: ")) {
            contentLength = readLength(line + 16);
        } else if (std::strlen(line) == 26 && startsWithIgnoreCase(line, "Transfer-Encoding: chunked")) {
            isChunked = 1;
        } else if (startsWithIgnoreCase(line, "Location: ")) {
            const char* value = line + 10;
            if (std::strlen(value) < sizeof header->location) {
                copyValue(header->location, sizeof header->location, value);
                header->locationTooLong = 0;
            } else {
                header->location[0] = '\0';
                header->locationTooLong = 1;
            }
        } else if (startsWithIgnoreCase(line, "Connection: ")) {
            copyValue(header->connection, sizeof header->connection, line + 12);
        } else if (startsWithIgnoreCase(line, "Content-Encoding: ")) {
            copyValue(header->contentEncoding, sizeof header->contentEncoding, line + 18);
        } else if (startsWithIgnoreCase(line, "Retry-After:")) {
            header->retryAfterSeconds =
                parseRetryAfter(line + 12, static_cast<long long>(std::time(nullptr)));
        }
    }
    header->contentLength = contentLength;
    header->isChunked = isChunked;
}

int isImageStatusOk(const char* response) {
    return startsWithIgnoreCase(response, STATUS_200_HTTP11) ||
           startsWithIgnoreCase(response, STATUS_200_HTTP10);
}

int isImageStatusRedirect(const char* response) {
    for (int i = 0; i < STATUS_REDIRECT_COUNT; i++) {
        if (startsWithIgnoreCase(response, STATUS_REDIRECTS[i])) return 1;
    }
    return 0;
}

int isImageStatusNotFound(const char* response) {
    return startsWithIgnoreCase(response, STATUS_404_HTTP10) ||
           startsWithIgnoreCase(response, STATUS_404_HTTP11);
}

int isImageStatusBusy(const char* response) {
    static const char* const busy[] = {"HTTP/1.0 503", "HTTP/1.1 503", "HTTP/1.0 429", "HTTP/1.1 429"};
    for (const char* status : busy) {
        if (startsWithIgnoreCase(response, status)) return 1;
    }
    return 0;
}

int isFetchStatusOk(const char* response) {
    return startsWith(response, STATUS_200_HTTP11) || startsWith(response, STATUS_200_HTTP10);
}

int findHeadEnd(const char* data, int length) {
    for (int i = 0; i + 3 < length; i++) {
        if (data[i] == '\r' && data[i + 1] == '\n' && data[i + 2] == '\r' && data[i + 3] == '\n') return i;
    }
    return -1;
}

int takeHeadBytes(char* data, int* filled, int received) {
    int searchFrom = *filled > 3 ? *filled - 3 : 0;
    *filled += received;
    data[*filled] = '\0';
    int found = findHeadEnd(data + searchFrom, *filled - searchFrom);
    return found >= 0 ? searchFrom + found : -1;
}
