// One GET of a short text into memory, for the update check.
#include "http/fetch.h"

#include "core/allocate.h"
#include "core/charset.h"
#include "core/containers.h"
#include "core/scope.h"
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

static void fail(FetchResult* result, int kind, const char* text) {
    result->errorKind = kind;
    result->text = duplicateString(text);
}

#ifdef __GNUC__
__attribute__((format(printf, 4, 5)))
#endif
static void
failFormatted(FetchResult* result, int kind, size_t size, const char* format, ...) {
    char* text = static_cast<char*>(allocateZeroed(size));
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, size, programText(format), args);
    va_end(args);
    result->errorKind = kind;
    result->text = text;
}

// Receives the answer to the request sent on the connection into result: the head, then a body of
// the announced length. Over TLS the bytes are the decrypted ones of a verified server.
static void receiveText(Connection* connection, FetchResult* result) {
    HeapPointer<char> data(static_cast<char*>(allocateZeroed(HTTP_BUFFER_SIZE + 1)));
    int filled = 0;
    int headEnd = -1;
    int lastReceive = 0;
    int lastError = 0;
    uint32_t announced = 0xFFFFFFFFu;
    TransferPace pace;
    startTransferPace(&pace);
    // One receive; its result (and the socket error of a failed one) goes into the failure texts.
    auto receive = [&](char* into, int length) {
        lastReceive = receiveBounded(connection, into, length, &pace);
        lastError = lastReceive < 0 ? lastSocketError() : 0;
        return lastReceive;
    };
    while (headEnd < 0 && receive(data.get() + filled, HTTP_BUFFER_SIZE - filled) > 0) {
        headEnd = takeHeadBytes(data.get(), &filled, lastReceive);
        if (headEnd < 0 && filled >= HTTP_BUFFER_SIZE) {
            fail(result, FETCH_AFTER_REQUEST,
                 programText("读取 HTTP_BUFFER_SIZE 字节, 还没有读取完整个 HTTP Head."));
            return;
        }
    }
    int received = filled;
    if (headEnd >= 0) {
        if (!isFetchStatusOk(data.get())) {
            // The received data is cut after 256 bytes; the text fits the 1024-byte buffer.
            failFormatted(result, FETCH_AFTER_REQUEST, ERROR_TEXT_SIZE, "返回错误的http状态码:\n%.*s",
                          filled < 256 ? filled : 256, data.get());
            return;
        }
        HeapPointer<char> head(static_cast<char*>(allocateZeroed(static_cast<size_t>(headEnd) + 1)));
        std::memcpy(head.get(), data.get(), static_cast<size_t>(headEnd));
        result->head = duplicateString(head.get());
        HttpHeader header;
        std::memset(&header, 0, sizeof header);
        parseResponseHead(head.get(), &header);
        int held = filled - (headEnd + 4);
        announced = static_cast<uint32_t>(header.contentLength);
        if (header.contentLength == -1) {
            fail(result, FETCH_AFTER_REQUEST, programText("http header 中没找到 Content-Length 字段"));
            return;
        }
        if (announced > static_cast<uint32_t>(MAX_IMAGE_SIZE)) {
            failFormatted(result, FETCH_AFTER_REQUEST, FETCH_TEXT_SIZE,
                          "fileSize=0, header.contentLength: %u, 大于10M", announced);
            return;
        }
        if (static_cast<uint32_t>(held) > announced) {
            failFormatted(result, FETCH_AFTER_REQUEST, FETCH_TEXT_SIZE,
                          "图片大小:%u, http header 返回的 Content-Length:%d", announced,
                          header.contentLength);
            return;
        }
        int length = header.contentLength;
        HeapPointer<char> body(static_cast<char*>(allocateZeroed(static_cast<size_t>(length) + 1)));
        std::memcpy(body.get(), data.get() + headEnd + 4, static_cast<size_t>(held));
        for (received = held; received < length && receive(body.get() + received, length - received) > 0;)
            received += lastReceive;
        if (received == length) {
            result->ok = 1;
            result->length = length;
            result->text = body.release();
            return;
        }
    }
    failFormatted(result, FETCH_AFTER_REQUEST, FETCH_TEXT_SIZE,
                  "图片大小:%u, 实际接收到的文件大小:%d, ret:%d, errno:%d", announced, received, lastReceive,
                  lastError);
}

FetchResult* fetchText(const char* url) {
    FetchResult* result = static_cast<FetchResult*>(allocateZeroed(sizeof(FetchResult)));
    UrlParts parts = {nullptr, nullptr, 0};
    // The text fetch is no part of a run: its address is read as outside secure mode.
    if (!url || !parseUrl(url, &parts, 0)) {
        fail(result, FETCH_ADDRESS_OR_CONNECTION, programText("无法parse下载图片地址"));
        return result;
    }
    auto releaseParts = onScopeExit([&] { freeUrlParts(&parts); });
    // An https address is always fetched over TLS with the server's certificate checked, whether
    // or not image addresses are fetched so.
    if (startsWith(url, "https://")) parts.secure = 1;
    char request[PROXIED_REQUEST_BUFFER_SIZE];
    int requestLength = buildGetRequest(&parts, 0, request, REQUEST_BUFFER_SIZE);
    if (requestLength < 0) {
        fail(result, FETCH_ADDRESS_OR_CONNECTION, programText("地址过长, 无法组成 HTTP 请求"));
        return result;
    }
    char connectError[ERROR_TEXT_SIZE] = {0};
    // A fresh connection of its own, never pooled; a certificate that fails its check fails here.
    Connection* connection =
        openStreamConnection(parts.host, static_cast<int>(parts.port), parts.secure, connectError);
    if (!connection) {
        fail(result, FETCH_ADDRESS_OR_CONNECTION, connectError);
        return result;
    }
    auto closeAtEnd = onScopeExit([&] { closeConnection(connection); });
    if (connection->forwarded) {
        requestLength =
            buildProxiedGetRequest(&parts, 0, connection->forwardAuthorization, request, sizeof request);
        if (requestLength < 0) {
            fail(result, FETCH_ADDRESS_OR_CONNECTION, programText("地址过长, 无法组成 HTTP 请求"));
            return result;
        }
    }
    if (sendOnConnection(connection, request, requestLength) != requestLength) {
        fail(result, FETCH_ADDRESS_OR_CONNECTION, "socket send() failed");
        return result;
    }

    receiveText(connection, result);
    return result;
}

void freeFetchResult(FetchResult* result) {
    if (!result) return;
    std::free(result->head);
    std::free(result->text);
    std::free(result);
}
