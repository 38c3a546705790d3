// TLS client sessions with OpenSSL 3. The session never touches the socket by itself except for
// the one receive it is told to make and the sends of what it produced: OpenSSL works on two
// memory buffers, one for the bytes received and one for the bytes to send.
#include "platform/tls.h"

#include "platform/files.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <openssl/x509_vfy.h>

#include <cstdint>
#include <cstdio>
#include <mutex>

constexpr int TLS_RECORD_HEADER_SIZE = 5;
constexpr int TLS_IO_BLOCK = 16384;

struct TlsSession {
    SSL* ssl;
    BIO* received; // bytes from the socket, read by OpenSSL
    BIO* outgoing; // bytes OpenSSL wrote, to be sent
    SocketHandle socket;
    int ended; // the server ended the TCP stream
    // Where the received stream stands in its record framing, so that an end of the stream in the
    // middle of a record is told apart from one between records.
    int headerBytes;
    unsigned char header[TLS_RECORD_HEADER_SIZE];
    long bodyLeft;
};

static std::mutex contextMutex;
// The context of new sessions; a session holds a reference of its own.
static SSL_CTX* clientContext = nullptr;

// Every certificate of a PEM file added to the store; the count added, or -1 when the file
// cannot be read.
static int addCertificates(X509_STORE* store, const char* path) {
    BIO* file = BIO_new_file(path, "r");
    if (!file) return -1;
    int added = 0;
    while (X509* certificate = PEM_read_bio_X509(file, nullptr, nullptr, nullptr)) {
        if (X509_STORE_add_cert(store, certificate) == 1) added++;
        X509_free(certificate);
    }
    BIO_free(file);
    ERR_clear_error();
    return added;
}

// A client context with the system's roots and those of extraCaFile; nullptr with a detail.
static SSL_CTX* newContext(const char* extraCaFile, char* detail) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) {
        std::snprintf(detail, TLS_DETAIL_SIZE, "OpenSSL cannot start");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(context);
    ERR_clear_error();
    if (extraCaFile && *extraCaFile) {
        // Opening a pipe or a device may block; only a regular file is read.
        if (!isRegularFile(extraCaFile)) {
            std::snprintf(detail, TLS_DETAIL_SIZE, "%s is not a regular file", extraCaFile);
            SSL_CTX_free(context);
            return nullptr;
        }
        int added = addCertificates(SSL_CTX_get_cert_store(context), extraCaFile);
        if (added <= 0) {
            std::snprintf(detail, TLS_DETAIL_SIZE, added < 0 ? "cannot read %s" : "no certificate in %s",
                          extraCaFile);
            SSL_CTX_free(context);
            return nullptr;
        }
    }
    return context;
}

int tlsConfigureTrust(const char* extraCaFile, char* detail) {
    SSL_CTX* context = newContext(extraCaFile, detail);
    if (!context) return 0;
    std::lock_guard<std::mutex> lock(contextMutex);
    if (clientContext) SSL_CTX_free(clientContext);
    clientContext = context;
    return 1;
}

static int isIpv4Literal(const char* host) {
    int dots = 0;
    int digits = 0;
    for (const char* p = host; *p; p++) {
        if (*p == '.') {
            if (digits == 0) return 0;
            dots++;
            digits = 0;
        } else if (*p >= '0' && *p <= '9') {
            if (++digits > 3) return 0;
        } else {
            return 0;
        }
    }
    return dots == 3 && digits > 0;
}

TlsSession* tlsCreateSession(SocketHandle socket, const char* host) {
    SSL* ssl = nullptr;
    {
        std::lock_guard<std::mutex> lock(contextMutex);
        if (!clientContext) {
            char detail[TLS_DETAIL_SIZE];
            clientContext = newContext(nullptr, detail);
        }
        if (clientContext) ssl = SSL_new(clientContext);
    }
    if (!ssl) return nullptr;
    BIO* received = BIO_new(BIO_s_mem());
    BIO* outgoing = BIO_new(BIO_s_mem());
    if (!received || !outgoing) {
        BIO_free(received);
        BIO_free(outgoing);
        SSL_free(ssl);
        return nullptr;
    }
    // An empty buffer means "wait for more" until the stream's end is marked.
    BIO_set_mem_eof_return(received, -1);
    SSL_set_bio(ssl, received, outgoing);
    SSL_set_connect_state(ssl);
    int named;
    if (isIpv4Literal(host)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host);
    } else {
        // The name is looked for among the subject alternative names alone: a certificate without
        // them is for no host, whatever its subject's common name says.
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        named = SSL_set_tlsext_host_name(ssl, host) == 1 && SSL_set1_host(ssl, host) == 1;
    }
    if (!named) {
        ERR_clear_error();
        SSL_free(ssl);
        return nullptr;
    }
    TlsSession* session = new TlsSession();
    session->ssl = ssl;
    session->received = received;
    session->outgoing = outgoing;
    session->socket = socket;
    return session;
}

// Follows the record framing over newly received bytes.
static void trackRecords(TlsSession* session, const unsigned char* data, int length) {
    int at = 0;
    while (at < length) {
        if (session->bodyLeft > 0) {
            long take = length - at < session->bodyLeft ? length - at : session->bodyLeft;
            session->bodyLeft -= take;
            at += static_cast<int>(take);
            continue;
        }
        session->header[session->headerBytes++] = data[at++];
        if (session->headerBytes == TLS_RECORD_HEADER_SIZE) {
            session->bodyLeft = (static_cast<long>(session->header[3]) << 8) | session->header[4];
            session->headerBytes = 0;
        }
    }
}

// One receive from the socket into the session. 1, or 0 when the receive failed.
static int receiveIntoSession(TlsSession* session) {
    if (session->ended) return 1;
    char block[TLS_IO_BLOCK];
    int n = receiveSome(session->socket, block, sizeof block);
    if (n < 0) return 0;
    if (n == 0) {
        session->ended = 1;
        // OpenSSL now sees the end of the stream once the held bytes are read.
        BIO_set_mem_eof_return(session->received, 0);
        return 1;
    }
    trackRecords(session, reinterpret_cast<const unsigned char*>(block), n);
    BIO_write(session->received, block, n);
    return 1;
}

// Sends whatever OpenSSL produced. 1, or 0 when the socket refused it.
static int sendProduced(TlsSession* session) {
    char block[TLS_IO_BLOCK];
    while (BIO_ctrl_pending(session->outgoing) > 0) {
        int n = BIO_read(session->outgoing, block, sizeof block);
        if (n <= 0) break;
        if (sendAll(session->socket, block, n) != n) return 0;
    }
    return 1;
}

static int verificationReason(long result) {
    switch (result) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
        return TLS_REASON_UNKNOWN_ISSUER;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return TLS_REASON_WRONG_NAME;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
        return TLS_REASON_EXPIRED;
    default:
        return TLS_REASON_BAD_CERTIFICATE;
    }
}

// The text of the first error OpenSSL queued on this thread, or fallback.
static void errorDetail(char* detail, const char* fallback) {
    unsigned long code = ERR_get_error();
    if (code) {
        ERR_error_string_n(code, detail, TLS_DETAIL_SIZE);
    } else {
        std::snprintf(detail, TLS_DETAIL_SIZE, "%s", fallback);
    }
    ERR_clear_error();
}

int tlsHandshake(TlsSession* session, int socketReadable, int* reason, char* detail) {
    ERR_clear_error();
    if (socketReadable && !receiveIntoSession(session)) {
        *reason = TLS_REASON_CLOSED;
        std::snprintf(detail, TLS_DETAIL_SIZE, "receive failed");
        return TLS_FAILED;
    }
    int result = SSL_do_handshake(session->ssl);
    // The handshake's messages and a failure's alert go out alike.
    int sent = sendProduced(session);
    if (result == 1) {
        if (!sent) {
            *reason = TLS_REASON_CLOSED;
            std::snprintf(detail, TLS_DETAIL_SIZE, "send failed");
            return TLS_FAILED;
        }
        return TLS_DONE;
    }
    int error = SSL_get_error(session->ssl, result);
    if (error == SSL_ERROR_WANT_READ && !session->ended) {
        if (sent) return TLS_WANT_READ;
        *reason = TLS_REASON_CLOSED;
        std::snprintf(detail, TLS_DETAIL_SIZE, "send failed");
        return TLS_FAILED;
    }
    long verified = SSL_get_verify_result(session->ssl);
    if (verified != X509_V_OK) {
        *reason = verificationReason(verified);
        std::snprintf(detail, TLS_DETAIL_SIZE, "%s", X509_verify_cert_error_string(verified));
        ERR_clear_error();
        return TLS_FAILED;
    }
    *reason = session->ended ? TLS_REASON_CLOSED : TLS_REASON_PROTOCOL;
    errorDetail(detail, session->ended ? "connection closed" : "handshake failed");
    return TLS_FAILED;
}

int tlsSend(TlsSession* session, const char* data, int length) {
    ERR_clear_error();
    int done = 0;
    while (done < length) {
        int n = SSL_write(session->ssl, data + done, length - done);
        if (n <= 0) {
            ERR_clear_error();
            return -1;
        }
        done += n;
        if (!sendProduced(session)) return -1;
    }
    return length;
}

int tlsReceive(TlsSession* session, char* buffer, int length, int socketReadable) {
    ERR_clear_error();
    if (socketReadable && !receiveIntoSession(session)) return TLS_FAILED;
    int n = SSL_read(session->ssl, buffer, length);
    // Answers to the server's post-handshake messages (a key update) go out at once.
    sendProduced(session);
    if (n > 0) return n;
    int error = SSL_get_error(session->ssl, n);
    ERR_clear_error();
    if (error == SSL_ERROR_ZERO_RETURN) return TLS_CLOSED;
    if (error == SSL_ERROR_WANT_READ && !session->ended) return TLS_WANT_READ;
    if (session->ended) {
        // The end of the TCP stream without close_notify: an end between two records may have
        // cut the answer short at a record's end, one in the middle of a record surely did.
        int between = session->headerBytes == 0 && session->bodyLeft == 0;
        return between ? TLS_TRUNCATED : TLS_FAILED;
    }
    return TLS_FAILED;
}

int tlsPending(TlsSession* session) {
    return SSL_pending(session->ssl) > 0 || BIO_ctrl_pending(session->received) > 0;
}

void tlsFreeSession(TlsSession* session) {
    if (!session) return;
    if (SSL_is_init_finished(session->ssl) && !session->ended) {
        ERR_clear_error();
        SSL_shutdown(session->ssl);
        sendProduced(session);
    }
    ERR_clear_error();
    SSL_free(session->ssl);
    delete session;
}
