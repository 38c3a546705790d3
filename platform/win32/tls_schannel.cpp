// TLS client sessions over SChannel (secur32) with the server's certificate checked by crypt32.
//
// SChannel is asked not to judge the certificate itself (manual validation): the chain is built
// by a chain engine whose roots are the system's plus the extra CA file's, and the SSL policy
// checks the host name. A session keeps two buffers: the bytes received and not yet decrypted
// (a TLS record or handshake flight, grown in steps up to a bound) and the decrypted bytes the
// caller has not taken yet. Memory comes from standard containers and new alone, so that running
// out of it ends the program the way the engine's allocator does (its new handler).
#include "platform/tls.h"

#include "platform/files.h"

// The declarations of Windows 10 1903 (SCH_CREDENTIALS, the whole chain engine configuration):
// the code asks for them at run time and falls back to the older forms where they are unknown.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#undef NTDDI_VERSION
#define NTDDI_VERSION 0x0A000007
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <vector>

// A TLS record holds at most 16 KiB of data plus a header and the cipher's overhead; a handshake
// flight (the certificate chain) may span several records, so received bytes may grow further
// while a handshake message is incomplete.
constexpr int INCOMING_START = 16384 + 2048 + 5;
constexpr int INCOMING_LIMIT = 256 * 1024;
constexpr int PLAIN_CAPACITY = 16384 + 2048;
// The largest certificate file read as extra roots.
constexpr long long CA_FILE_LIMIT = 4 * 1024 * 1024;

constexpr DWORD CONTEXT_REQUEST = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                  ISC_REQ_MANUAL_CRED_VALIDATION;

// The roots a chain is built against. engine is null for the system's default engine.
struct TrustRoots {
    HCERTCHAINENGINE engine = nullptr;
    HCERTSTORE extra = nullptr;
    HCERTSTORE system = nullptr;
    HCERTSTORE both = nullptr;
    ~TrustRoots() {
        if (engine) CertFreeCertificateChainEngine(engine);
        if (both) CertCloseStore(both, 0);
        if (system) CertCloseStore(system, 0);
        if (extra) CertCloseStore(extra, 0);
    }
};

// Shared by every session: one credentials handle made on first use, and the current roots
// (replaced as a whole by tlsConfigureTrust; a session verifying holds its own reference).
static std::mutex sharedMutex;
static CredHandle sharedCredentials;
static bool sharedCredentialsReady = false;
static std::shared_ptr<TrustRoots> sharedRoots;

// STATE_TRUNCATED: the TCP stream ended between records without close_notify.
enum SessionState { STATE_START, STATE_HANDSHAKE, STATE_OPEN, STATE_CLOSED, STATE_TRUNCATED, STATE_FAILED };

struct TlsSession {
    SocketHandle socket = NO_SOCKET;
    char host[256] = {};
    wchar_t wideHost[256] = {};
    bool hostIsAddress = false;
    uint32_t address = 0;
    CredHandle credentials;
    CtxtHandle context;
    bool contextValid = false;
    SessionState state = STATE_START;
    // A post-handshake message (SEC_I_RENEGOTIATE) is being given to the handshake.
    bool renegotiating = false;
    // The TCP stream has ended.
    bool endOfStream = false;
    // Received, not yet decrypted.
    std::vector<char> incoming;
    int incomingCapacity = 0;
    int incomingLength = 0;
    // incomingLength when SChannel last said the message was incomplete (-1: not known).
    int incompleteLength = -1;
    // Decrypted, not yet taken.
    std::vector<char> plain;
    int plainStart = 0;
    int plainLength = 0;
    // One encrypted record on its way out.
    std::vector<char> outgoing;
    SecPkgContext_StreamSizes sizes = {};
};

// The detail of a failure: the system's code in hexadecimal and a few words, or the words alone.
static void setDetail(char* detail, unsigned long code, const char* words) {
    if (detail) std::snprintf(detail, TLS_DETAIL_SIZE, "0x%08lX %s", code, words);
}

static void setWords(char* detail, const char* words) {
    if (detail) std::snprintf(detail, TLS_DETAIL_SIZE, "%s", words);
}

// What a function holds (a stream, a certificate, a chain) is given back on every way out of it.
struct CloseStream {
    void operator()(FILE* file) const { std::fclose(file); }
};
struct FreeCertificate {
    void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};
struct FreeChain {
    void operator()(PCCERT_CHAIN_CONTEXT chain) const { CertFreeCertificateChain(chain); }
};

// Credentials for TLS 1.2 and later with manual validation: SCH_CREDENTIALS where the system
// knows it (it is the only way to TLS 1.3 on Windows 11), else the older SCHANNEL_CRED.
static int acquireCredentials(CredHandle* handle) {
    TimeStamp expiry;
    TLS_PARAMETERS parameters;
    std::memset(&parameters, 0, sizeof parameters);
    parameters.grbitDisabledProtocols = static_cast<DWORD>(~(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT));
    SCH_CREDENTIALS modern;
    std::memset(&modern, 0, sizeof modern);
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    wchar_t package[] = UNISP_NAME_W;
    SECURITY_STATUS status = AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr,
                                                       &modern, nullptr, nullptr, handle, &expiry);
    if (status == SEC_E_OK) return 1;
    SCHANNEL_CRED older;
    std::memset(&older, 0, sizeof older);
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    older.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    status = AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &older, nullptr,
                                       nullptr, handle, &expiry);
    return status == SEC_E_OK;
}

static int sharedCredentialsHandle(CredHandle* handle) {
    std::lock_guard<std::mutex> lock(sharedMutex);
    if (!sharedCredentialsReady) {
        if (!acquireCredentials(&sharedCredentials)) return 0;
        sharedCredentialsReady = true;
    }
    *handle = sharedCredentials;
    return 1;
}

static std::shared_ptr<TrustRoots> currentRoots() {
    std::lock_guard<std::mutex> lock(sharedMutex);
    return sharedRoots;
}

// Adds every PEM certificate of text to store. Returns the count added.
static int addPemCertificates(HCERTSTORE store, const char* text, size_t length) {
    static const char BEGIN[] = "-----BEGIN CERTIFICATE-----";
    static const char END[] = "-----END CERTIFICATE-----";
    int added = 0;
    size_t at = 0;
    while (at < length) {
        const char* begin = std::strstr(text + at, BEGIN);
        if (!begin) break;
        const char* end = std::strstr(begin, END);
        if (!end) break;
        DWORD pemLength = static_cast<DWORD>(end + sizeof END - 1 - begin);
        DWORD derLength = 0;
        if (CryptStringToBinaryA(begin, pemLength, CRYPT_STRING_BASE64HEADER, nullptr, &derLength, nullptr,
                                 nullptr) &&
            derLength > 0) {
            std::vector<BYTE> der(derLength);
            if (CryptStringToBinaryA(begin, pemLength, CRYPT_STRING_BASE64HEADER, der.data(), &derLength,
                                     nullptr, nullptr) &&
                CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), derLength,
                                                 CERT_STORE_ADD_USE_EXISTING, nullptr)) {
                added++;
            }
        }
        at = static_cast<size_t>(end + sizeof END - 1 - text);
    }
    return added;
}

int tlsConfigureTrust(const char* extraCaFile, char* detail) {
    if (!extraCaFile || !extraCaFile[0]) {
        std::lock_guard<std::mutex> lock(sharedMutex);
        sharedRoots.reset();
        return 1;
    }
    // Opening a pipe or a device may block; only a regular file is read.
    if (!isRegularFile(extraCaFile)) {
        setWords(detail, "the CA file is not a regular file");
        return 0;
    }
    long long size = fileSize(extraCaFile);
    if (size <= 0 || size > CA_FILE_LIMIT) {
        setWords(detail, size <= 0 ? "cannot read the CA file" : "the CA file is too large");
        return 0;
    }
    std::vector<char> text(static_cast<size_t>(size) + 1);
    std::unique_ptr<FILE, CloseStream> file(openFile(extraCaFile, "rb"));
    if (!file) {
        setWords(detail, "cannot read the CA file");
        return 0;
    }
    size_t got = std::fread(text.data(), 1, static_cast<size_t>(size), file.get());
    text[got] = 0;
    std::shared_ptr<TrustRoots> roots = std::make_shared<TrustRoots>();
    roots->extra = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    roots->system = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                  CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"ROOT");
    roots->both = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (!roots->extra || !roots->system || !roots->both) {
        setDetail(detail, GetLastError(), "cannot open the certificate stores");
        return 0;
    }
    if (addPemCertificates(roots->extra, text.data(), got) == 0) {
        setWords(detail, "no certificate in the CA file");
        return 0;
    }
    CertAddStoreToCollection(roots->both, roots->system, 0, 0);
    CertAddStoreToCollection(roots->both, roots->extra, 0, 0);
    CERT_CHAIN_ENGINE_CONFIG config;
    std::memset(&config, 0, sizeof config);
    // The short form of the structure, up to the exclusive root: the one every system accepts.
    config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
    config.hExclusiveRoot = roots->both;
    if (!CertCreateCertificateChainEngine(&config, &roots->engine)) {
        setDetail(detail, GetLastError(), "cannot create the chain engine");
        return 0;
    }
    std::lock_guard<std::mutex> lock(sharedMutex);
    sharedRoots = roots;
    return 1;
}

TlsSession* tlsCreateSession(SocketHandle socket, const char* host) {
    if (!host || std::strlen(host) >= sizeof(TlsSession::host)) return nullptr;
    std::unique_ptr<TlsSession> session(new TlsSession);
    if (!sharedCredentialsHandle(&session->credentials)) return nullptr;
    session->socket = socket;
    std::snprintf(session->host, sizeof session->host, "%s", host);
    if (MultiByteToWideChar(CP_UTF8, 0, host, -1, session->wideHost, 256) == 0) return nullptr;
    session->hostIsAddress = parseIpv4Address(host, &session->address) != 0;
    session->incoming.resize(INCOMING_START);
    session->plain.resize(PLAIN_CAPACITY);
    session->incomingCapacity = INCOMING_START;
    return session.release();
}

// Reads the socket once into the free end of the received bytes, growing them (up to the bound)
// when they are full. Returns 1 when bytes arrived, 0 at the end of the stream, -1 on failure.
static int receiveOnce(TlsSession* session) {
    if (session->incomingLength == session->incomingCapacity) {
        if (session->incomingCapacity >= INCOMING_LIMIT) return -1;
        int grown = session->incomingCapacity * 2;
        if (grown > INCOMING_LIMIT) grown = INCOMING_LIMIT;
        session->incoming.resize(static_cast<size_t>(grown));
        session->incomingCapacity = grown;
    }
    int got = receiveSome(session->socket, session->incoming.data() + session->incomingLength,
                          session->incomingCapacity - session->incomingLength);
    if (got == 0) {
        session->endOfStream = true;
        return 0;
    }
    if (got < 0) return -1;
    session->incomingLength += got;
    return 1;
}

// Keeps only the last `extra` received bytes (those SChannel has not consumed).
static void keepExtra(TlsSession* session, unsigned long extra) {
    if (extra > static_cast<unsigned long>(session->incomingLength)) extra = 0;
    int keep = static_cast<int>(extra);
    if (keep > 0) {
        std::memmove(session->incoming.data(), session->incoming.data() + session->incomingLength - keep,
                     static_cast<size_t>(keep));
    }
    session->incomingLength = keep;
    session->incompleteLength = -1;
}

static int sendToken(TlsSession* session, SecBuffer* token) {
    int result = 1;
    if (token->pvBuffer && token->cbBuffer > 0) {
        int length = static_cast<int>(token->cbBuffer);
        if (sendAll(session->socket, static_cast<const char*>(token->pvBuffer), length) != length) result = 0;
    }
    if (token->pvBuffer) FreeContextBuffer(token->pvBuffer);
    token->pvBuffer = nullptr;
    token->cbBuffer = 0;
    return result;
}

// Why SChannel refused the handshake, in words.
static const char* handshakeWords(SECURITY_STATUS status) {
    switch (status) {
    case SEC_E_ALGORITHM_MISMATCH:
        return "no common protocol or cipher";
    case SEC_E_UNSUPPORTED_FUNCTION:
        return "protocol version not supported";
    case SEC_E_ILLEGAL_MESSAGE:
        return "illegal message";
    case SEC_E_MESSAGE_ALTERED:
        return "message altered";
    case SEC_E_DECRYPT_FAILURE:
        return "decrypt failure";
    case SEC_E_INVALID_TOKEN:
        return "invalid token";
    case SEC_E_INTERNAL_ERROR:
        return "internal error";
    case SEC_E_WRONG_PRINCIPAL:
        return "wrong principal";
    default:
        return "handshake failed";
    }
}

// Checks that the negotiated protocol is TLS 1.2 or later.
static int checkProtocol(TlsSession* session, char* detail) {
    SecPkgContext_ConnectionInfo info;
    std::memset(&info, 0, sizeof info);
    if (QueryContextAttributesW(&session->context, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) return 1;
    DWORD older = SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
    if (info.dwProtocol & older) {
        setDetail(detail, static_cast<unsigned long>(info.dwProtocol), "protocol older than TLS 1.2");
        return 0;
    }
    return 1;
}

// Whether a DNS name of a certificate stands for host (both compared without regard to letter
// case): the same name, or a wildcard "*." in place of exactly the host's first label.
static int dnsNameMatches(const wchar_t* name, const wchar_t* host) {
    if (!name || !*name) return 0;
    if (name[0] == L'*' && name[1] == L'.') {
        // A wildcard stands for one label under a name of two labels at least, never for a
        // whole top-level domain.
        const wchar_t* dot = std::wcschr(host, L'.');
        if (!dot || dot == host || !std::wcschr(name + 2, L'.')) return 0;
        return _wcsicmp(name + 1, dot) == 0;
    }
    return _wcsicmp(name, host) == 0;
}

// Whether the certificate's subject alternative names hold the session's host: its IPv4 address
// (network order) for an address, a DNS name otherwise. A certificate without the extension names
// no host at all; its subject's common name is never looked at.
static int certificateNamesHost(PCCERT_CONTEXT certificate, const TlsSession* session) {
    PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                                                  certificate->pCertInfo->rgExtension);
    if (!extension) return 0;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
        return 0;
    }
    int found = 0;
    for (DWORD i = 0; i < names->cAltEntry; i++) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (session->hostIsAddress) {
            if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4 &&
                std::memcmp(entry.IPAddress.pbData, &session->address, 4) == 0) {
                found = 1;
            }
        } else if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME &&
                   dnsNameMatches(entry.pwszDNSName, session->wideHost)) {
            found = 1;
        }
    }
    LocalFree(names);
    return found;
}

// Verifies the server's certificate: a chain to a trusted root with no error at all, then the SSL
// policy with the host name. The host is then matched against the certificate's subject
// alternative names here: the policy falls back to the subject's common name when there are none,
// and not every system's policy looks at address names.
static int verifyServer(TlsSession* session, int* reason, char* detail) {
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesW(&session->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
            SEC_E_OK ||
        !certificate) {
        *reason = TLS_REASON_BAD_CERTIFICATE;
        setWords(detail, "no server certificate");
        return 0;
    }
    std::unique_ptr<const CERT_CONTEXT, FreeCertificate> certificateHeld(certificate);
    std::shared_ptr<TrustRoots> roots = currentRoots();
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara;
    std::memset(&chainPara, 0, sizeof chainPara);
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(roots ? roots->engine : nullptr, certificate, nullptr,
                                 certificate->hCertStore, &chainPara, 0, nullptr, &chain)) {
        *reason = TLS_REASON_BAD_CERTIFICATE;
        setDetail(detail, GetLastError(), "cannot build the certificate chain");
        return 0;
    }
    std::unique_ptr<const CERT_CHAIN_CONTEXT, FreeChain> chainHeld(chain);

    HTTPSPolicyCallbackData ssl;
    std::memset(&ssl, 0, sizeof ssl);
    ssl.cbStruct = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = session->hostIsAddress ? nullptr : session->wideHost;
    CERT_CHAIN_POLICY_PARA policyPara;
    std::memset(&policyPara, 0, sizeof policyPara);
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS policyStatus;
    std::memset(&policyStatus, 0, sizeof policyStatus);
    policyStatus.cbSize = sizeof policyStatus;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &policyStatus)) {
        *reason = TLS_REASON_BAD_CERTIFICATE;
        setDetail(detail, GetLastError(), "cannot check the chain policy");
        return 0;
    }
    unsigned long error = policyStatus.dwError;
    DWORD trust = chain->TrustStatus.dwErrorStatus;
    if (error == static_cast<unsigned long>(CERT_E_EXPIRED) || (trust & CERT_TRUST_IS_NOT_TIME_VALID)) {
        *reason = TLS_REASON_EXPIRED;
        setDetail(detail, error ? error : static_cast<unsigned long>(CERT_E_EXPIRED),
                  "certificate expired or not yet valid");
        return 0;
    }
    if (error == static_cast<unsigned long>(CERT_E_UNTRUSTEDROOT) ||
        error == static_cast<unsigned long>(CERT_E_CHAINING) ||
        (trust & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))) {
        *reason = TLS_REASON_UNKNOWN_ISSUER;
        setDetail(detail, error ? error : static_cast<unsigned long>(CERT_E_UNTRUSTEDROOT), "unknown issuer");
        return 0;
    }
    if (error == static_cast<unsigned long>(CERT_E_CN_NO_MATCH)) {
        *reason = TLS_REASON_WRONG_NAME;
        setDetail(detail, error, "certificate name does not match");
        return 0;
    }
    if (error != 0 || trust != 0) {
        *reason = TLS_REASON_BAD_CERTIFICATE;
        setDetail(detail, error ? error : static_cast<unsigned long>(trust), "certificate refused");
        return 0;
    }
    if (!certificateNamesHost(chain->rgpChain[0]->rgpElement[0]->pCertContext, session)) {
        *reason = TLS_REASON_WRONG_NAME;
        setDetail(detail, static_cast<unsigned long>(CERT_E_CN_NO_MATCH),
                  session->hostIsAddress ? "certificate is not for this address"
                                         : "no subject alternative name of the certificate is this host");
        return 0;
    }
    return 1;
}

// Gives the received bytes to the handshake until it finishes, fails or needs more bytes.
// Returns TLS_DONE, TLS_WANT_READ or TLS_FAILED (with *reason and detail).
static int continueHandshake(TlsSession* session, int* reason, char* detail) {
    for (;;) {
        if (session->incomingLength == 0 || session->incomingLength == session->incompleteLength) {
            return TLS_WANT_READ;
        }
        SecBuffer input[2];
        input[0].BufferType = SECBUFFER_TOKEN;
        input[0].pvBuffer = session->incoming.data();
        input[0].cbBuffer = static_cast<unsigned long>(session->incomingLength);
        input[1].BufferType = SECBUFFER_EMPTY;
        input[1].pvBuffer = nullptr;
        input[1].cbBuffer = 0;
        SecBufferDesc inputDesc = {SECBUFFER_VERSION, 2, input};
        SecBuffer output[1];
        output[0].BufferType = SECBUFFER_TOKEN;
        output[0].pvBuffer = nullptr;
        output[0].cbBuffer = 0;
        SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, output};
        DWORD flags = 0;
        TimeStamp expiry;
        SECURITY_STATUS status = InitializeSecurityContextW(
            &session->credentials, &session->context, session->hostIsAddress ? nullptr : session->wideHost,
            CONTEXT_REQUEST, 0, 0, &inputDesc, 0, &session->context, &outputDesc, &flags, &expiry);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            if (output[0].pvBuffer) FreeContextBuffer(output[0].pvBuffer);
            session->incompleteLength = session->incomingLength;
            return TLS_WANT_READ;
        }
        if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS) {
            if (!sendToken(session, &output[0])) {
                *reason = TLS_REASON_CLOSED;
                setWords(detail, "send failed");
                return TLS_FAILED;
            }
            keepExtra(session, input[1].BufferType == SECBUFFER_EXTRA ? input[1].cbBuffer : 0);
            if (status == SEC_E_OK) return TLS_DONE;
            continue;
        }
        // A failed handshake may still have an alert for the server.
        if (flags & ISC_RET_EXTENDED_ERROR) sendToken(session, &output[0]);
        if (output[0].pvBuffer) FreeContextBuffer(output[0].pvBuffer);
        *reason = TLS_REASON_PROTOCOL;
        setDetail(detail, static_cast<unsigned long>(status), handshakeWords(status));
        return TLS_FAILED;
    }
}

static int failHandshake(TlsSession* session, int* reason, int reasonCode, char* detail, const char* words) {
    session->state = STATE_FAILED;
    *reason = reasonCode;
    setWords(detail, words);
    return TLS_FAILED;
}

int tlsHandshake(TlsSession* session, int socketReadable, int* reason, char* detail) {
    *reason = TLS_REASON_NONE;
    if (session->state == STATE_OPEN) return TLS_DONE;
    if (session->state != STATE_START && session->state != STATE_HANDSHAKE) {
        *reason = TLS_REASON_PROTOCOL;
        setWords(detail, "session already failed");
        return TLS_FAILED;
    }
    if (session->state == STATE_START) {
        SecBuffer output[1];
        output[0].BufferType = SECBUFFER_TOKEN;
        output[0].pvBuffer = nullptr;
        output[0].cbBuffer = 0;
        SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, output};
        DWORD flags = 0;
        TimeStamp expiry;
        SECURITY_STATUS status = InitializeSecurityContextW(
            &session->credentials, nullptr, session->hostIsAddress ? nullptr : session->wideHost,
            CONTEXT_REQUEST, 0, 0, nullptr, 0, &session->context, &outputDesc, &flags, &expiry);
        if (status != SEC_I_CONTINUE_NEEDED) {
            if (output[0].pvBuffer) FreeContextBuffer(output[0].pvBuffer);
            session->state = STATE_FAILED;
            *reason = TLS_REASON_PROTOCOL;
            setDetail(detail, static_cast<unsigned long>(status), "cannot start the handshake");
            return TLS_FAILED;
        }
        session->contextValid = true;
        session->state = STATE_HANDSHAKE;
        if (!sendToken(session, &output[0])) {
            return failHandshake(session, reason, TLS_REASON_CLOSED, detail, "cannot send the client hello");
        }
        return TLS_WANT_READ;
    }
    if (socketReadable) {
        int got = receiveOnce(session);
        if (got == 0)
            return failHandshake(session, reason, TLS_REASON_CLOSED, detail, "server closed the connection");
        if (got < 0) return failHandshake(session, reason, TLS_REASON_CLOSED, detail, "receive failed");
    }
    int result = continueHandshake(session, reason, detail);
    if (result == TLS_WANT_READ && session->endOfStream) {
        return failHandshake(session, reason, TLS_REASON_CLOSED, detail, "server closed the connection");
    }
    if (result == TLS_FAILED) {
        session->state = STATE_FAILED;
        return TLS_FAILED;
    }
    if (result != TLS_DONE) return result;
    if (!checkProtocol(session, detail)) {
        session->state = STATE_FAILED;
        *reason = TLS_REASON_PROTOCOL;
        return TLS_FAILED;
    }
    if (!verifyServer(session, reason, detail)) {
        session->state = STATE_FAILED;
        return TLS_FAILED;
    }
    if (QueryContextAttributesW(&session->context, SECPKG_ATTR_STREAM_SIZES, &session->sizes) != SEC_E_OK) {
        session->state = STATE_FAILED;
        *reason = TLS_REASON_PROTOCOL;
        setWords(detail, "cannot query the stream sizes");
        return TLS_FAILED;
    }
    size_t recordSize = static_cast<size_t>(session->sizes.cbHeader) + session->sizes.cbMaximumMessage +
                        session->sizes.cbTrailer;
    session->outgoing.resize(recordSize);
    session->state = STATE_OPEN;
    return TLS_DONE;
}

int tlsSend(TlsSession* session, const char* data, int length) {
    if (session->state != STATE_OPEN || length < 0) return -1;
    int sent = 0;
    while (sent < length) {
        int piece = length - sent;
        if (piece > static_cast<int>(session->sizes.cbMaximumMessage)) {
            piece = static_cast<int>(session->sizes.cbMaximumMessage);
        }
        char* record = session->outgoing.data();
        std::memcpy(record + session->sizes.cbHeader, data + sent, static_cast<size_t>(piece));
        SecBuffer buffers[4];
        buffers[0].BufferType = SECBUFFER_STREAM_HEADER;
        buffers[0].pvBuffer = record;
        buffers[0].cbBuffer = session->sizes.cbHeader;
        buffers[1].BufferType = SECBUFFER_DATA;
        buffers[1].pvBuffer = record + session->sizes.cbHeader;
        buffers[1].cbBuffer = static_cast<unsigned long>(piece);
        buffers[2].BufferType = SECBUFFER_STREAM_TRAILER;
        buffers[2].pvBuffer = record + session->sizes.cbHeader + piece;
        buffers[2].cbBuffer = session->sizes.cbTrailer;
        buffers[3].BufferType = SECBUFFER_EMPTY;
        buffers[3].pvBuffer = nullptr;
        buffers[3].cbBuffer = 0;
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        if (EncryptMessage(&session->context, 0, &desc, 0) != SEC_E_OK) return -1;
        int total = static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        if (sendAll(session->socket, record, total) != total) return -1;
        sent += piece;
    }
    return length;
}

// Copies decrypted bytes out to the caller.
static int takePlain(TlsSession* session, char* buffer, int length) {
    int count = session->plainLength < length ? session->plainLength : length;
    std::memcpy(buffer, session->plain.data() + session->plainStart, static_cast<size_t>(count));
    session->plainStart += count;
    session->plainLength -= count;
    if (session->plainLength == 0) session->plainStart = 0;
    return count;
}

// What decrypting one record did, besides TLS_CLOSED and TLS_FAILED.
constexpr int DECRYPT_PROGRESS = 1;  // bytes decrypted or a message taken
constexpr int DECRYPT_NEED_MORE = 2; // no whole record yet

// Decrypts one record of the received bytes.
static int decryptOne(TlsSession* session) {
    if (session->renegotiating) {
        int reason = 0;
        char detail[TLS_DETAIL_SIZE];
        int result = continueHandshake(session, &reason, detail);
        if (result == TLS_WANT_READ) return DECRYPT_NEED_MORE;
        if (result == TLS_FAILED) return TLS_FAILED;
        session->renegotiating = false;
        return DECRYPT_PROGRESS;
    }
    if (session->incomingLength == 0 || session->incomingLength == session->incompleteLength) {
        return DECRYPT_NEED_MORE;
    }
    SecBuffer buffers[4];
    buffers[0].BufferType = SECBUFFER_DATA;
    buffers[0].pvBuffer = session->incoming.data();
    buffers[0].cbBuffer = static_cast<unsigned long>(session->incomingLength);
    for (int i = 1; i < 4; i++) {
        buffers[i].BufferType = SECBUFFER_EMPTY;
        buffers[i].pvBuffer = nullptr;
        buffers[i].cbBuffer = 0;
    }
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = DecryptMessage(&session->context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
        session->incompleteLength = session->incomingLength;
        return DECRYPT_NEED_MORE;
    }
    if (status == SEC_I_CONTEXT_EXPIRED) return TLS_CLOSED;
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return TLS_FAILED;
    SecBuffer* data = nullptr;
    SecBuffer* extra = nullptr;
    for (int i = 1; i < 4; i++) {
        if (buffers[i].BufferType == SECBUFFER_DATA && !data) data = &buffers[i];
        if (buffers[i].BufferType == SECBUFFER_EXTRA && !extra) extra = &buffers[i];
    }
    int count = data ? static_cast<int>(data->cbBuffer) : 0;
    if (count > 0) {
        // takePlain empties the decrypted bytes before another record is decrypted.
        if (session->plainLength != 0 || count > PLAIN_CAPACITY) return TLS_FAILED;
        std::memcpy(session->plain.data(), data->pvBuffer, static_cast<size_t>(count));
        session->plainStart = 0;
        session->plainLength = count;
    }
    keepExtra(session, extra ? extra->cbBuffer : 0);
    if (status == SEC_I_RENEGOTIATE) {
        // A handshake message after the handshake (a session ticket, a key update): the bytes
        // left over go to the handshake until it is done with them.
        session->renegotiating = true;
        return DECRYPT_PROGRESS;
    }
    // Some systems report the server's close_notify as a record with no data.
    if (count == 0 && session->incomingLength == 0) return TLS_CLOSED;
    return DECRYPT_PROGRESS;
}

// Decrypts what the received bytes hold until there are decrypted bytes or no whole record.
// Returns DECRYPT_PROGRESS (bytes or nothing more to do), TLS_CLOSED or TLS_FAILED.
static int decryptAvailable(TlsSession* session) {
    for (;;) {
        int result = decryptOne(session);
        if (result == TLS_CLOSED || result == TLS_FAILED) return result;
        if (result == DECRYPT_NEED_MORE || session->plainLength > 0) return DECRYPT_PROGRESS;
    }
}

int tlsReceive(TlsSession* session, char* buffer, int length, int socketReadable) {
    if (length <= 0) return TLS_FAILED;
    if (session->plainLength > 0) return takePlain(session, buffer, length);
    if (session->state == STATE_CLOSED) return TLS_CLOSED;
    if (session->state == STATE_TRUNCATED) return TLS_TRUNCATED;
    if (session->state != STATE_OPEN) return TLS_FAILED;
    // Whole records already received come first; the socket is read only when they gave nothing.
    int result = decryptAvailable(session);
    if (result == DECRYPT_PROGRESS && session->plainLength == 0 && socketReadable && !session->endOfStream) {
        if (receiveOnce(session) < 0) {
            session->state = STATE_FAILED;
            return TLS_FAILED;
        }
        result = decryptAvailable(session);
    }
    if (result == TLS_FAILED) {
        session->state = STATE_FAILED;
        return TLS_FAILED;
    }
    if (result == TLS_CLOSED) session->state = STATE_CLOSED;
    if (session->plainLength > 0) return takePlain(session, buffer, length);
    if (result == TLS_CLOSED) return TLS_CLOSED;
    if (session->endOfStream) {
        // The stream ended without close_notify, between records (the answer may have been cut at
        // a record's end) or inside one.
        if (session->incomingLength == 0) {
            session->state = STATE_TRUNCATED;
            return TLS_TRUNCATED;
        }
        session->state = STATE_FAILED;
        return TLS_FAILED;
    }
    return TLS_WANT_READ;
}

int tlsPending(TlsSession* session) {
    if (session->plainLength > 0) return 1;
    return session->incomingLength > 0 && session->incomingLength != session->incompleteLength;
}

void tlsFreeSession(TlsSession* session) {
    if (!session) return;
    if (session->contextValid) {
        if (session->state == STATE_OPEN) {
            DWORD type = SCHANNEL_SHUTDOWN;
            SecBuffer control[1];
            control[0].BufferType = SECBUFFER_TOKEN;
            control[0].pvBuffer = &type;
            control[0].cbBuffer = sizeof type;
            SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, control};
            if (ApplyControlToken(&session->context, &controlDesc) == SEC_E_OK) {
                SecBuffer output[1];
                output[0].BufferType = SECBUFFER_TOKEN;
                output[0].pvBuffer = nullptr;
                output[0].cbBuffer = 0;
                SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, output};
                DWORD flags = 0;
                TimeStamp expiry;
                SECURITY_STATUS status = InitializeSecurityContextW(
                    &session->credentials, &session->context,
                    session->hostIsAddress ? nullptr : session->wideHost, CONTEXT_REQUEST, 0, 0, nullptr, 0,
                    &session->context, &outputDesc, &flags, &expiry);
                if (status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) {
                    sendToken(session, &output[0]);
                } else if (output[0].pvBuffer) {
                    FreeContextBuffer(output[0].pvBuffer);
                }
            }
        }
        DeleteSecurityContext(&session->context);
    }
    delete session;
}
