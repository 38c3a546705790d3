// Fetching one image address into a file: request, response head, body framing and the limits.
#include "http/download.h"

#include "core/allocate.h"
#include "core/applog.h"
#include "core/charset.h"
#include "core/scope.h"
#include "core/text.h"
#include "http/connection.h"
#include "http/httpparse.h"
#include "platform/files.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static constexpr uint32_t SIZE_UNDEFINED = 0xFFFFFFFFu;
// An outcome of one attempt that is not a result: follow the redirect in `location`.
static constexpr int ATTEMPT_REDIRECT = 100;
// The most significant hexadecimal digits a chunk-size line may carry (leading zeros not counted).
static constexpr int MAX_CHUNK_SIZE_DIGITS = 16;

// The addresses a download went through: the one it began with and each redirect's target.
struct RedirectChain {
    const char* first;
    int secureMode; // the run's, for every address of the chain
    char targets[MAX_REDIRECTS][LOCATION_SIZE];
};

int isSupportedImage(const unsigned char* signature) {
    unsigned char a = signature[0];
    unsigned char b = signature[1];
    return (a == 0xFF && b == 0xD8) || (a == 0x89 && b == 0x50) || (a == 0x47 && b == 0x49) ||
           (a == 0x42 && b == 0x4D);
}

// The last busy answer of each download thread.
static thread_local ServerBusyAnswer busyAnswer = {-1, 0};

ServerBusyAnswer lastServerBusyAnswer() {
    return busyAnswer;
}

static int equalsIgnoreCase(const char* a, const char* b) {
    return std::strlen(a) == std::strlen(b) && startsWithIgnoreCase(a, b);
}

// The state of one attempt.
constexpr size_t FILE_BUFFER_SIZE = 65536;

struct Transfer {
    int keepAlive;
    const char* destPath;
    char* errorText;
    Connection* connection;
    FILE* file;
    HttpHeader header;
    uint32_t fileSize;
    int32_t readTotal;
    unsigned char imageSignature[2];
    int signatureBytes;
    int isChunkReceiveCompleted;
    int lastReceive; // result of the last receive, for the failure texts
    int lastError;
    TransferPace pace;
    int interrupted; // RECEIVE_TOO_SLOW or RECEIVE_STOPPED once a receive was given up
    int surplus;     // bytes arrived after the end of the answer: the connection is out of step
    int truncated;   // a TLS server closed the connection without close_notify
    int noAnswer;    // the connection ended or failed before the first byte of an answer
    char buffer[HTTP_BUFFER_SIZE + 1];
    char location[LOCATION_SIZE];
    // The file's stream buffer: most images reach the disk in one or two writes.
    char fileBuffer[FILE_BUFFER_SIZE];
};

#ifdef __GNUC__
__attribute__((format(printf, 2, 3)))
#endif
static void
setError(Transfer* t, const char* format, ...) {
    va_list args;
    va_start(args, format);
    // The texts are written in UTF-8 here and shown as the engine's own text.
    std::vsnprintf(t->errorText, ERROR_TEXT_SIZE, programText(format), args);
    va_end(args);
}

static int receive(Transfer* t, char* into, int length) {
    int n = length > 0 ? receiveBounded(t->connection, into, length, &t->pace) : 0;
    if (n == RECEIVE_TOO_SLOW || n == RECEIVE_STOPPED) {
        t->interrupted = n;
        n = RECEIVE_FAILED;
    }
    if (n == RECEIVE_TRUNCATED) {
        t->truncated = 1;
        n = RECEIVE_FAILED;
    }
    t->lastReceive = n;
    t->lastError = n < 0 ? lastSocketError() : 0;
    return n;
}

// The failure text of an attempt whose receive was given up.
static void setInterruptedError(Transfer* t) {
    if (t->interrupted == RECEIVE_STOPPED) {
        setError(t, "图片下载已中止：收到停止请求。");
    } else {
        setError(t, "图片下载速度过慢：%d 秒内平均速度低于 %d 字节/秒。", LOW_SPEED_TIME_SECONDS,
                 LOW_SPEED_LIMIT_BYTES);
    }
}

// Takes signature bytes from body data and stores it. Returns 1, or -2 when the file took fewer
// bytes than asked.
static int writeBody(Transfer* t, const char* data, int length) {
    if (length <= 0) return 1;
    for (int i = 0; i < length && t->signatureBytes < 2; i++) {
        t->imageSignature[t->signatureBytes++] = static_cast<unsigned char>(data[i]);
    }
    size_t written = std::fwrite(data, 1, static_cast<size_t>(length), t->file);
    if (written != static_cast<size_t>(length)) {
        setError(t, "写入文件时出错，请检查硬盘可用空间是否已不足。");
        return DOWNLOAD_WRITE_FAILED;
    }
    return 1;
}

// Decides an attempt whose body has ended (or whose connection ended before a head).
static int completeTransfer(Transfer* t) {
    if (t->interrupted) {
        // A body cut short by a stop or a crawl is never taken for a whole one.
        setInterruptedError(t);
        return DOWNLOAD_FAILED;
    }
    int chunkedIncomplete = t->header.isChunked && !t->isChunkReceiveCompleted;
    if (t->keepAlive) {
        int ok = static_cast<uint32_t>(t->readTotal) == t->fileSize ||
                 (t->header.isChunked && t->isChunkReceiveCompleted);
        if (!ok) {
            if (t->fileSize == SIZE_UNDEFINED) {
                setError(t,
                         "(fileSize:未定义, readTotal:%d), (header.isChunked:%d, isChunkReceiveCompleted:%d)",
                         t->readTotal, t->header.isChunked, t->isChunkReceiveCompleted);
            } else {
                setError(t, "(fileSize:%u, readTotal:%d), (header.isChunked:%d, isChunkReceiveCompleted:%d)",
                         t->fileSize, t->readTotal, t->header.isChunked, t->isChunkReceiveCompleted);
            }
            return DOWNLOAD_FAILED;
        }
    } else {
        // The end of the connection ends a body without a length, but a chunked body whose framing
        // is unfinished was cut off and is never taken for a whole image.
        if (t->fileSize == SIZE_UNDEFINED && chunkedIncomplete) {
            setError(t, "(fileSize:未定义, readTotal:%d), (header.isChunked:%d, isChunkReceiveCompleted:%d)",
                     t->readTotal, t->header.isChunked, t->isChunkReceiveCompleted);
            return DOWNLOAD_FAILED;
        }
        // Over TLS only close_notify ends it: a bare TCP close may come from anyone on the way.
        if (t->fileSize == SIZE_UNDEFINED && t->truncated) {
            setError(t,
                     "https连接未经close_notify就被关闭，图片数据可能不完整(fileSize:未定义, readTotal:%d)",
                     t->readTotal);
            return DOWNLOAD_FAILED;
        }
        // Only an orderly close ends it: a receive that failed or timed out cut the body off.
        if (t->fileSize == SIZE_UNDEFINED && t->lastReceive < 0) {
            setError(t, "图片数据接收中断(fileSize:未定义, readTotal:%d), ret:%d, errno:%d", t->readTotal,
                     t->lastReceive, t->lastError);
            return DOWNLOAD_FAILED;
        }
        int ok = static_cast<uint32_t>(t->readTotal) == t->fileSize || t->fileSize == SIZE_UNDEFINED;
        if (!ok) {
            setError(t, "图片大小:%u, 实际接收到的文件大小:%d, ret:%d, errno:%d", t->fileSize, t->readTotal,
                     t->lastReceive, t->lastError);
            return DOWNLOAD_REFUSED;
        }
    }
    if (t->signatureBytes < 2 || !isSupportedImage(t->imageSignature)) {
        setError(t, "下载的图片格式不受支持");
        return DOWNLOAD_REFUSED;
    }
    FILE* file = t->file;
    t->file = nullptr;
    if (std::fclose(file) != 0) {
        // The last buffered bytes did not reach the disk.
        t->file = nullptr;
        setError(t, "写入文件时出错，请检查硬盘可用空间是否已不足。");
        removeFile(t->destPath);
        return DOWNLOAD_WRITE_FAILED;
    }
    return DOWNLOAD_STORED;
}

// A body delimited by Content-Length or by the end of the connection. `held` bytes of it came with
// the head, at `body`.
static int readPlainBody(Transfer* t, const char* body, int held) {
    t->readTotal = held;
    if (t->fileSize != SIZE_UNDEFINED && t->fileSize < static_cast<uint32_t>(t->readTotal)) {
        setError(t, "readTotal > fileSize, 当前下载的文件数据大小:%d, fileSize:%u", t->readTotal,
                 t->fileSize);
        return DOWNLOAD_REFUSED;
    }
    if (t->readTotal > 0) {
        int written = writeBody(t, body, held);
        if (written != 1) return written;
    }
    if (static_cast<uint32_t>(t->readTotal) == t->fileSize) return completeTransfer(t);
    for (;;) {
        int n = receive(t, t->buffer, HTTP_BUFFER_SIZE);
        if (n <= 0) return completeTransfer(t);
        if (n > MAX_IMAGE_SIZE - t->readTotal) {
            setError(t, "header.contentLength: %d, readTotal:%d > 10M", t->header.contentLength,
                     t->readTotal + n);
            return DOWNLOAD_REFUSED;
        }
        t->readTotal += n;
        uint32_t total = static_cast<uint32_t>(t->readTotal);
        if (total > t->fileSize) {
            // The block runs past the announced length: the body is wrong whatever follows.
            return completeTransfer(t);
        }
        int written = writeBody(t, t->buffer, n);
        if (written != 1) return written;
        if (total == t->fileSize) return completeTransfer(t);
    }
}

static int findLineEnd(const char* data, int from, int to) {
    for (int i = from; i + 1 < to; i++) {
        if (data[i] == '\r' && data[i + 1] == '\n') return i;
    }
    return -1;
}

// The trailer section after the last chunk ends with an empty line: the held bytes either begin with
// CRLF (no trailers) or hold a blank line after the trailer lines.
static int trailerComplete(const char* data, int count) {
    if (count >= 2 && data[0] == '\r' && data[1] == '\n') return 1;
    return findHeadEnd(data, count) >= 0;
}

// A chunked body. The buffer holds `filled` valid bytes; the first chunk-size line starts at `scan`.
static int readChunkedBody(Transfer* t, int scan, int filled) {
    char* data = t->buffer;
    t->readTotal = 0;
    int previousFill = filled;
    for (;;) {
        int refillAt = -1; // set when the bytes from 0 to refillAt are kept and more must be received
        int lineEnd = findLineEnd(data, scan, filled);
        if (lineEnd < 0) {
            int kept = filled - scan;
            std::memmove(data, data + scan, static_cast<size_t>(kept));
            refillAt = kept;
        } else {
            // The size line: an optional "0x", blanks, hexadecimal digits; anything after them (a ";"
            // extension) is ignored, and an empty line reads as 0.
            int p = scan;
            if (lineEnd - scan >= 2 && (data[scan + 1] == 'x' || data[scan + 1] == 'X')) p += 2;
            while (p < lineEnd && (data[p] == ' ' || data[p] == '\t'))
                p++;
            while (p < lineEnd && data[p] == '0')
                p++;
            uint64_t size = 0;
            int digits = 0;
            for (; p < lineEnd && hexDigitValue(data[p]) >= 0; p++) {
                if (++digits > MAX_CHUNK_SIZE_DIGITS) break;
                size = (size << 4) | static_cast<uint64_t>(hexDigitValue(data[p]));
            }
            if (digits > MAX_CHUNK_SIZE_DIGITS || size > 0x7FFFFFFFu) {
                int shown = lineEnd - scan < 64 ? lineEnd - scan : 64;
                setError(t, "不正常: 这里就有问题了, chunksize:%.*s", shown, data + scan);
                return DOWNLOAD_FAILED;
            }
            int32_t chunksize = static_cast<int32_t>(size);
            int dataStart = lineEnd + 2;
            if (chunksize == 0) {
                // Last chunk: wait for the end of the trailer section.
                int syCount = filled - dataStart;
                if (syCount != 2) {
                    writeLogFormat(
                        "chunk size == 0, readTotal:%d, p - data:%d, syCount:%d, dataContent:\r\n%s", filled,
                        dataStart, syCount, data);
                }
                std::memmove(data, data + dataStart, static_cast<size_t>(syCount));
                data[syCount] = '\0';
                while (!trailerComplete(data, syCount)) {
                    if (syCount >= HTTP_BUFFER_SIZE) {
                        setError(t, "读取完 HTTP_BUFFER_SIZE 长度, 也没有找到 chund 最后一个结束符");
                        return DOWNLOAD_FAILED;
                    }
                    int n = receive(t, data + syCount, HTTP_BUFFER_SIZE - syCount);
                    if (n <= 0) {
                        setError(t,
                                 "读取chunk最后的结束符时出错: syCount:%d, bufferSize:%d, ret:%d, errno:%d",
                                 syCount, HTTP_BUFFER_SIZE - syCount, n, t->lastError);
                        return DOWNLOAD_FAILED;
                    }
                    syCount += n;
                    data[syCount] = '\0';
                }
                // Whatever follows the blank line was never asked for.
                int answerEnd =
                    (syCount >= 2 && data[0] == '\r' && data[1] == '\n') ? 2 : findHeadEnd(data, syCount) + 4;
                if (syCount > answerEnd) t->surplus = 1;
                t->isChunkReceiveCompleted = 1;
                return completeTransfer(t);
            }
            if (chunksize > MAX_IMAGE_SIZE - t->readTotal) {
                setError(t, "header.isChunked: %d, chunksize:%d, readTotal:%d > 10M", t->header.isChunked,
                         chunksize, t->readTotal);
                return DOWNLOAD_REFUSED;
            }
            int avail = filled - dataStart;
            if (avail >= chunksize) {
                t->readTotal += chunksize;
                int written = writeBody(t, data + dataStart, chunksize);
                if (written != 1) return written;
                if (avail > chunksize + 1) {
                    // The two bytes after the data are the chunk's CRLF.
                    scan = dataStart + chunksize + 2;
                    continue;
                }
                int kept = avail - chunksize;
                std::memmove(data, data + dataStart + chunksize, static_cast<size_t>(kept));
                refillAt = kept;
            } else {
                t->readTotal += avail;
                int written = writeBody(t, data + dataStart, avail);
                if (written != 1) return written;
                int missing = chunksize - avail;
                while (missing > 0) {
                    int n = receive(t, data, missing < HTTP_BUFFER_SIZE ? missing : HTTP_BUFFER_SIZE);
                    if (n <= 0) return completeTransfer(t);
                    t->readTotal += n;
                    written = writeBody(t, data, n);
                    if (written != 1) return written;
                    missing -= n;
                }
                refillAt = 0;
            }
        }
        // Refill after the kept bytes.
        int n = receive(t, data + refillAt, HTTP_BUFFER_SIZE - refillAt);
        if (n <= 0) {
            setError(t, "下载图片失败3: 图片大小:%u, 实际接收到的文件大小:%d, ret:%d, errno:%d", t->fileSize,
                     previousFill, n, t->lastError);
            return DOWNLOAD_FAILED;
        }
        previousFill = n;
        filled = refillAt + n;
        data[filled] = '\0';
        scan = (filled > 1 && data[0] == '\r' && data[1] == '\n') ? 2 : 0;
    }
}

// Receives the head, classifies the status and reads the body.
static int runTransfer(Transfer* t) {
    startTransferPace(&t->pace);
    char* data = t->buffer;
    int filled = 0;
    int headEnd = -1;
    while (headEnd < 0) {
        int n = receive(t, data + filled, HTTP_BUFFER_SIZE - filled);
        if (n <= 0) {
            if (filled == 0) t->noAnswer = 1;
            t->readTotal = filled;
            return completeTransfer(t);
        }
        headEnd = takeHeadBytes(data, &filled, n);
        if (headEnd < 0 && filled >= HTTP_BUFFER_SIZE) {
            setError(t, "读取 HTTP_BUFFER_SIZE 字节, 还没有读取完整个 HTTP Head.");
            return DOWNLOAD_FAILED;
        }
    }

    char head[HTTP_BUFFER_SIZE + 1];
    std::memcpy(head, data, static_cast<size_t>(headEnd));
    head[headEnd] = '\0';
    parseResponseHead(head, &t->header);
    int bodyStart = headEnd + 4;
    int heldBody = filled - bodyStart;

    if (!isImageStatusOk(data)) {
        // Whether the redirect may be followed is decided with the whole chain in view.
        if (isImageStatusRedirect(data)) {
            if (t->header.locationTooLong) {
                setError(t, "Location 超过 %d 字节, 无法跟随跳转", LOCATION_SIZE - 1);
                return DOWNLOAD_FAILED;
            }
            if (t->header.location[0]) {
                copyBounded(t->location, sizeof t->location, t->header.location);
                // The redirect's own body must be known to be read in full before its connection can
                // carry the next request.
                int bodyConsumed = !t->header.isChunked && t->header.contentLength >= 0 &&
                                   heldBody == t->header.contentLength;
                if (t->keepAlive && !bodyConsumed) t->header.connection[0] = '\0';
                return ATTEMPT_REDIRECT;
            }
        }
        if (isImageStatusBusy(data)) {
            // The text stays that of any other status, for the image that fails after its tries.
            int shown = filled < 256 ? filled : 256;
            setError(t, "返回错误的http状态码:\n%.*s", shown, data);
            return DOWNLOAD_SERVER_BUSY;
        }
        if (isImageStatusNotFound(data)) {
            setError(t, "404 Not Found - 文件不存在");
            return DOWNLOAD_FAILED;
        }
        int shown = filled < 256 ? filled : 256;
        setError(t, "返回错误的http状态码:\n%.*s", shown, data);
        return DOWNLOAD_FAILED;
    }

    if (t->header.contentEncoding[0]) {
        setError(t, "header.contentEncoding:%s", t->header.contentEncoding);
        return DOWNLOAD_FAILED;
    }
    if (t->header.contentLength != -1) {
        t->fileSize = static_cast<uint32_t>(t->header.contentLength);
        if (t->fileSize > static_cast<uint32_t>(MAX_IMAGE_SIZE)) {
            setError(t, "fileSize=0, header.contentLength: %u, 大于10M",
                     static_cast<uint32_t>(t->header.contentLength));
            return DOWNLOAD_REFUSED;
        }
    } else if (t->keepAlive && !t->header.isChunked && !equalsIgnoreCase(t->header.connection, "close")) {
        setError(t, "Connection: keep-alive, Content-Length = -1");
        return DOWNLOAD_FAILED;
    }
    if (t->header.isChunked) return readChunkedBody(t, bodyStart, filled);
    return readPlainBody(t, data + bodyStart, heldBody);
}

// Puts a kept-alive connection back into the pool when it may carry the next request, else
// closes it.
static void releaseConnection(Transfer* t, int keepPooled) {
    if (!t->connection) return;
    if (t->keepAlive) {
        releasePooledConnection(t->connection, keepPooled);
    } else {
        closeConnection(t->connection);
    }
    t->connection = nullptr;
}

// Closes the file of a failed attempt. The name stays taken until the download has failed for
// good: a following attempt (a redirect, the close-mode retry) writes the same file anew.
static void dropFile(Transfer* t) {
    if (!t->file) return;
    std::fclose(t->file);
    t->file = nullptr;
}

// Whether the redirect to target may be followed after `hops` redirects; 0 with the reason in
// errorText when it comes back to an address of the chain, is one too many, or leads from https to
// http. A target that is no address at all is left to the attempt that follows, which says so.
static int mayFollowRedirect(const RedirectChain* chain, int hops, int fromSecure, const char* target,
                             char* errorText) {
    int loop = std::strcmp(target, chain->first) == 0;
    for (int i = 0; i < hops && i < MAX_REDIRECTS; i++)
        loop = loop || std::strcmp(target, chain->targets[i]) == 0;
    if (loop) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("图片地址的跳转形成了循环，不再跟随：%s"),
                      target);
        return 0;
    }
    if (hops >= MAX_REDIRECTS) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("图片地址跳转超过%d次，不再跟随：%s"),
                      MAX_REDIRECTS, target);
        return 0;
    }
    UrlParts parts = {nullptr, nullptr, 0};
    if (fromSecure && parseUrl(target, &parts, chain->secureMode)) {
        int secure = parts.secure;
        freeUrlParts(&parts);
        if (!secure) {
            std::snprintf(errorText, ERROR_TEXT_SIZE, programText("拒绝从https地址跳转到http地址：%s"),
                          target);
            return 0;
        }
    }
    return 1;
}

// One attempt at url, reached after `hops` redirects of the chain.
static int downloadAttempt(const char* url, const char* destPath, char* errorText, int useKeepAlive,
                           RedirectChain* chain, int hops) {
    if (!url) {
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("无法parse下载图片地址"));
        return DOWNLOAD_FAILED;
    }
    HeapPointer<char> prepared(std::strstr(url, "&amp;") ? replaceAll(url, "&amp;", "&") : nullptr);
    const char* address = prepared ? prepared.get() : url;
    UrlParts parts = {nullptr, nullptr, 0};
    if (!parseUrl(address, &parts, chain->secureMode)) {
        removeFile(destPath);
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("无法parse下载图片地址"));
        return DOWNLOAD_FAILED;
    }
    auto releaseParts = onScopeExit([&] { freeUrlParts(&parts); });
    char request[REQUEST_BUFFER_SIZE];
    int requestLength = buildGetRequest(&parts, useKeepAlive, request, sizeof request);
    if (requestLength < 0) {
        removeFile(destPath);
        std::snprintf(errorText, ERROR_TEXT_SIZE, programText("图片地址过长, 无法组成 HTTP 请求"));
        return DOWNLOAD_FAILED;
    }

    HeapPointer<Transfer> transfer(static_cast<Transfer*>(allocateZeroed(sizeof(Transfer))));
    Transfer* t = transfer.get();
    t->keepAlive = useKeepAlive;
    t->destPath = destPath;
    t->errorText = errorText;
    t->fileSize = SIZE_UNDEFINED;

    int outcome;
    char proxiedRequest[PROXIED_REQUEST_BUFFER_SIZE];
    // The proxied request carries the proxy's credentials: it does not linger on the stack.
    auto forgetRequest = onScopeExit([&] {
        volatile char* bytes = proxiedRequest;
        for (size_t i = 0; i < sizeof proxiedRequest; i++)
            bytes[i] = 0;
    });
    char connectError[ERROR_TEXT_SIZE] = {0};
    int port = static_cast<int>(parts.port);
    int certificateRefused = 0;
    t->connection =
        useKeepAlive
            ? acquirePooledConnection(parts.host, port, parts.secure, connectError, &certificateRefused)
            : openCountedConnection(parts.host, port, parts.secure, connectError, &certificateRefused);
    int connectRefused = 0;
    if (!t->connection) {
        copyBounded(errorText, ERROR_TEXT_SIZE, connectError);
        outcome = DOWNLOAD_FAILED;
        connectRefused = lastConnectRefusedByLimit();
    } else if (t->connection->forwarded && (requestLength = buildProxiedGetRequest(
                                                &parts, useKeepAlive, t->connection->forwardAuthorization,
                                                proxiedRequest, sizeof proxiedRequest)) < 0) {
        setError(t, "图片地址过长, 无法组成 HTTP 请求");
        outcome = DOWNLOAD_FAILED;
    } else if (sendOnConnection(t->connection, t->connection->forwarded ? proxiedRequest : request,
                                requestLength) != requestLength) {
        t->noAnswer = 1;
        setError(t, "下载图片失败: send() failed");
        outcome = DOWNLOAD_FAILED;
    } else if (!(t->file = openFileForWritingNoFollow(destPath))) {
        setError(t, "图片搬家失败：无法创建新文件。");
        outcome = DOWNLOAD_CREATE_FAILED;
    } else {
        std::setvbuf(t->file, t->fileBuffer, _IOFBF, sizeof t->fileBuffer);
        outcome = runTransfer(t);
    }

    int interrupted = t->interrupted;
    if (interrupted && outcome != DOWNLOAD_STORED && outcome != ATTEMPT_REDIRECT) setInterruptedError(t);
    // A busy answer, or a fresh connection ended before any answer, while other connections to the
    // server work: the server allows no more connections. Decided while this one still counts.
    int refusedFresh = outcome == DOWNLOAD_FAILED && t->noAnswer && t->connection && !t->connection->reused &&
                       !interrupted && !transferStopRequested();
    if (outcome == DOWNLOAD_SERVER_BUSY || refusedFresh || connectRefused) {
        int limited = connectRefused || lowerConnectionCap(parts.host, port);
        if (outcome == DOWNLOAD_SERVER_BUSY || limited) {
            busyAnswer.retryAfterSeconds = outcome == DOWNLOAD_SERVER_BUSY ? t->header.retryAfterSeconds : -1;
            busyAnswer.connectionLimit = limited;
            outcome = DOWNLOAD_SERVER_BUSY;
        }
    }
    int redirectRefused = 0;
    if (outcome == DOWNLOAD_STORED) {
        releaseConnection(t, !t->surplus && !equalsIgnoreCase(t->header.connection, "close"));
    } else if (outcome == ATTEMPT_REDIRECT) {
        int keepPooled = t->header.connection[0] && !equalsIgnoreCase(t->header.connection, "close");
        releaseConnection(t, keepPooled);
        dropFile(t);
        char location[LOCATION_SIZE];
        copyBounded(location, sizeof location, t->location);
        if (endsWithIgnoreCase(location, "_.webp")) location[std::strlen(location) - 6] = '\0';
        if (mayFollowRedirect(chain, hops, parts.secure, location, errorText)) {
            transfer.reset();
            // Each target is an attempt of its own: its checks, its connection, its failure limit.
            copyBounded(chain->targets[hops], LOCATION_SIZE, location);
            return downloadAttempt(chain->targets[hops], destPath, errorText, 1, chain, hops + 1);
        }
        redirectRefused = 1;
        outcome = DOWNLOAD_FAILED;
    } else {
        dropFile(t);
        releaseConnection(t, 0);
    }
    // The state of this attempt is let go before a following one takes its own.
    transfer.reset();

    // A transfer given up for its pace or for a stop is not tried again, nor a server whose
    // certificate failed its check, nor a redirect refused: a second attempt would fail the same way.
    if ((outcome == DOWNLOAD_REFUSED || outcome == DOWNLOAD_FAILED) && useKeepAlive && !interrupted &&
        !certificateRefused && !redirectRefused && !transferStopRequested()) {
        writeLogFormat(programText("搬家失败：%s(useKeepAlive:%d)，返回的错误信息：\r\n%s"), url, 1,
                       errorText);
        return downloadAttempt(url, destPath, errorText, 0, chain, hops);
    }
    if (outcome != DOWNLOAD_STORED && outcome != DOWNLOAD_CREATE_FAILED && outcome != DOWNLOAD_SERVER_BUSY)
        removeFile(destPath);
    return outcome;
}

int downloadImage(const char* url, int secureMode, const char* destPath, char* errorText, int useKeepAlive,
                  int redirected) {
    RedirectChain chain;
    std::memset(&chain, 0, sizeof chain);
    chain.first = url ? url : "";
    chain.secureMode = secureMode;
    int hops = redirected < 0 ? 0 : (redirected > MAX_REDIRECTS ? MAX_REDIRECTS : redirected);
    return downloadAttempt(url, destPath, errorText, useKeepAlive, &chain, hops);
}
