// One GET of a short text into memory (the update check's reply).
#pragma once

struct FetchResult {
    int ok;        // 1 on success
    char* head;    // the response head once a 200 head has arrived, else null
    char* text;    // the body (length bytes and a NUL) on success, else the failure text
    int length;    // the body's length on success, else 0
    int errorKind; // 0 success; 1 address, connection or send; 2 after the request was sent
};

constexpr int FETCH_ADDRESS_OR_CONNECTION = 1;
constexpr int FETCH_AFTER_REQUEST = 2;

// One close-mode attempt on a fresh connection; no redirects, and a Content-Length is required.
// An "https://" address is fetched over TLS, whatever the secure mode, from a server whose
// certificate passes its check (the system's roots and the extra CA file).
// Never returns null; the caller releases the record with freeFetchResult.
FetchResult* fetchText(const char* url);
void freeFetchResult(FetchResult* result);
