// Fetching one image address into a file.
#pragma once
#include "http/connection.h"

constexpr int HTTP_BUFFER_SIZE = 8192;
constexpr int MAX_IMAGE_SIZE = 10485760;
constexpr int MAX_REDIRECTS = 5;

constexpr int DOWNLOAD_STORED = 1;
constexpr int DOWNLOAD_REFUSED = 0;
constexpr int DOWNLOAD_FAILED = -1;
constexpr int DOWNLOAD_WRITE_FAILED = -2;
constexpr int DOWNLOAD_CREATE_FAILED = -3;
// The server was too busy for the request: it answered 503 or 429, or it closed or reset a fresh
// connection before any answer while other connections to it worked (its connection limit; the
// server's cap has been lowered). The file stays under its name, empty, for the next try; the
// caller tries again (lastServerBusyAnswer) or gives the image up as -1 and removes the file.
constexpr int DOWNLOAD_SERVER_BUSY = -4;

// Result: 1 stored; 0 refused on its content; -1 address, connection or protocol failure;
// -2 writing the file failed; -3 the file cannot be created; -4 the server was too busy. errorText
// (ERROR_TEXT_SIZE bytes, zero-filled by the caller) receives the failure text.
//
// A keep-alive attempt (useKeepAlive 1: HTTP/1.1 on the pooled connection of the server) that
// fails with 0 or -1 is repeated once in close mode (HTTP/1.0 on a fresh connection). A 301 or 302
// is followed up to MAX_REDIRECTS times in all, each target as an attempt of its own with its own
// close-mode retry; a target met before in the chain, one redirect too many, or a redirect from an
// https address to an http one fails with -1. redirected: the count of redirects already followed
// to reach url (0 on a first call).
//
// secureMode is the run's: in secure mode https and "//host/..." addresses, a redirect's target
// included, are fetched over TLS (parseUrl).
//
// The file at destPath is written from its start, created when missing, never through a symbolic
// link (a link under the name gives -3). A caller that took the name by creating the file keeps it
// taken across the attempts: between them the file is closed, not removed. Any failure but -3
// removes the file at destPath, a file the caller created for the download included; after -3
// whatever stands under the name is left alone.
int downloadImage(const char* url, int secureMode, const char* destPath, char* errorText, int useKeepAlive,
                  int redirected);

// What the last DOWNLOAD_SERVER_BUSY of the calling thread's downloadImage said.
struct ServerBusyAnswer {
    int retryAfterSeconds; // Retry-After (0 to 60), -1 when the server named no time
    int connectionLimit;   // 1 when other connections to the server worked: its connection limit
};
ServerBusyAnswer lastServerBusyAnswer();

// 1 when the first two body bytes are those of a JPEG, PNG, GIF or BMP file.
int isSupportedImage(const unsigned char* signature);
