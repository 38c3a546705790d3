// One GET of a short text into memory, for the update check.
#include "http/fetch.h"

#include "core/charset.h"
#include "core/containers.h"
#include "core/text.h"
#include "http/connection.h"
#include "http/download.h"
#include "http/httpparse.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static constexpr int FETCH_TEXT_SIZE = 128;

static void* allocateOrDie(size_t size) {
    void* p = std::calloc(1, size);
    if (!p) std::abort();
    return p;
}

static void fail(FetchResult* result, int kind, const char* text) {
    result->errorKind = kind;
    result->text = duplicateString(text);
}

#ifdef __GNUC__
__attribute__((format(printf, 4, 5)))
#endif
static void
failFormatted(FetchResult* result, int kind, size_t size, const char* format, ...) {
    char* text = static_cast<char*>(allocateOrDie(size));
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, size, programText(format), args);
    va_end(args);
    result->errorKind = kind;
    result->text = text;
}

FetchResult* fetchText(const char* url) {
    FetchResult* result = static_cast<FetchResult*>(allocateOrDie(sizeof(FetchResult)));
    UrlParts parts = {nullptr, nullptr, 0};
    if (!url || !parseUrl(url, &parts)) {
        fail(result, FETCH_ADDRESS_OR_CONNECTION, programText("无法parse下载图片地址"));
        return result;
    }
    char request[REQUEST_BUFFER_SIZE];
    int requestLength = buildGetRequest(&parts, 0, request, sizeof request);
    if (requestLength < 0) {
        freeUrlParts(&parts);
        fail(result, FETCH_ADDRESS_OR_CONNECTION, programText("地址过长, 无法组成 HTTP 请求"));
        return result;
    }
    char connectError[ERROR_TEXT_SIZE] = {0};
    SocketHandle socket = openConnection(parts.host, static_cast<int>(parts.port), connectError);
    freeUrlParts(&parts);
    if (socket == NO_SOCKET) {
        fail(result, FETCH_ADDRESS_OR_CONNECTION, connectError);
        return result;
    }
    if (sendAll(socket, request, requestLength) != requestLength) {
        closeSocket(socket);
        fail(result, FETCH_ADDRESS_OR_CONNECTION, "socket send() failed");
        return result;
    }

    char* data = static_cast<char*>(allocateOrDie(HTTP_BUFFER_SIZE + 1));
    int filled = 0;
    int headEnd = -1;
    int lastReceive = 0;
    int lastError = 0;
    uint32_t announced = 0xFFFFFFFFu;
    int received = 0;
    char* body = nullptr;
    TransferPace pace;
    startTransferPace(&pace);
    while (headEnd < 0) {
        int n = receiveBounded(socket, data + filled, HTTP_BUFFER_SIZE - filled, &pace);
        lastReceive = n;
        if (n <= 0) {
            lastError = n < 0 ? lastSocketError() : 0;
            break;
        }
        headEnd = takeHeadBytes(data, &filled, n);
        if (headEnd < 0 && filled >= HTTP_BUFFER_SIZE) {
            std::free(data);
            closeSocket(socket);
            fail(result, FETCH_AFTER_REQUEST,
                 programText("读取 HTTP_BUFFER_SIZE 字节, 还没有读取完整个 HTTP Head."));
            return result;
        }
    }
    received = filled;

    if (headEnd >= 0) {
        if (!isFetchStatusOk(data)) {
            int shown = filled < 256 ? filled : 256;
            // The received data is cut after 256 bytes; the text fits the 1024-byte buffer.
            char* text = static_cast<char*>(allocateOrDie(ERROR_TEXT_SIZE));
            std::snprintf(text, ERROR_TEXT_SIZE, programText("返回错误的http状态码:\n%.*s"), shown, data);
            std::free(data);
            closeSocket(socket);
            result->errorKind = FETCH_AFTER_REQUEST;
            result->text = text;
            return result;
        }
        char* head = static_cast<char*>(allocateOrDie(static_cast<size_t>(headEnd) + 1));
        std::memcpy(head, data, static_cast<size_t>(headEnd));
        result->head = duplicateString(head);
        HttpHeader header;
        std::memset(&header, 0, sizeof header);
        parseResponseHead(head, &header);
        std::free(head);

        int held = filled - (headEnd + 4);
        if (header.contentLength == -1) {
            std::free(data);
            closeSocket(socket);
            fail(result, FETCH_AFTER_REQUEST, programText("http header 中没找到 Content-Length 字段"));
            return result;
        }
        announced = static_cast<uint32_t>(header.contentLength);
        if (announced > static_cast<uint32_t>(MAX_IMAGE_SIZE)) {
            std::free(data);
            closeSocket(socket);
            failFormatted(result, FETCH_AFTER_REQUEST, FETCH_TEXT_SIZE,
                          "fileSize=0, header.contentLength: %u, 大于10M", announced);
            return result;
        }
        if (static_cast<uint32_t>(held) > announced) {
            std::free(data);
            closeSocket(socket);
            failFormatted(result, FETCH_AFTER_REQUEST, FETCH_TEXT_SIZE,
                          "图片大小:%u, http header 返回的 Content-Length:%d", announced,
                          header.contentLength);
            return result;
        }
        int length = header.contentLength;
        body = static_cast<char*>(allocateOrDie(static_cast<size_t>(length) + 1));
        std::memcpy(body, data + headEnd + 4, static_cast<size_t>(held));
        body[length] = '\0';
        received = held;
        while (received < length) {
            int n = receiveBounded(socket, body + received, length - received, &pace);
            lastReceive = n;
            if (n <= 0) {
                lastError = n < 0 ? lastSocketError() : 0;
                break;
            }
            received += n;
        }
        if (received == length) {
            std::free(data);
            closeSocket(socket);
            result->ok = 1;
            result->length = length;
            result->text = body;
            return result;
        }
    }

    std::free(body);
    std::free(data);
    closeSocket(socket);
    failFormatted(result, FETCH_AFTER_REQUEST, FETCH_TEXT_SIZE,
                  "图片大小:%u, 实际接收到的文件大小:%d, ret:%d, errno:%d", announced, received, lastReceive,
                  lastError);
    return result;
}

void freeFetchResult(FetchResult* result) {
    if (!result) return;
    std::free(result->head);
    std::free(result->text);
    std::free(result);
}
