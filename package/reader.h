// Reading a data package (the CSV file that Taobao Assistant exports, UTF-16 on disk) into items,
// each with the image addresses of its description and mobile details (package/addresses.h).
#pragma once
#include "core/containers.h"

// The file is decoded in pieces of this many bytes, one conversion call each: small enough that a
// piece read from the file is still in the processor's cache when it is decoded.
inline constexpr int PACKAGE_DECODE_PIECE_SIZE = 1 << 18;

// Titles are quoted fields of at most this many bytes, quotes included (125 bytes of title).
inline constexpr int TITLE_FIELD_MAX = 127;

// Reads the package at path (engine text). Appends one Item per data row to items and hands back
// the whole package as one engine string (GB18030, "_.webp" removed) in *packageText, which the
// caller then owns. Returns 1 on success. In secure mode (secureMode 1) the https and
// protocol-relative image addresses are collected as well; with it off, an item whose markup holds
// such addresses gets them in its uncollected lists (see Item). On failure returns 0, leaves
// *packageText and the list as they were, writes the reason to app.log and keeps it for
// lastReadFailure. A pattern that cannot be compiled or matched is no fault of the package but of
// the program: the read fails the same way but returns PACKAGE_READ_FATAL, and lastReadFailure
// gives the fatal message that the caller shows before it ends the process (windowFatalError).
constexpr int PACKAGE_READ_FATAL = -1;
int readPackage(const char* path, ArrayList* items, char** packageText, int secureMode);

// Turns items read with secure mode off into what a read in secure mode gives: each item's
// uncollected addresses are appended to its description and mobile lists, and the uncollected
// lists are gone.
void includeUncollectedImages(ArrayList* items);

// Why the last readPackage on this thread failed (engine text); empty after a success.
const char* lastReadFailure();

// Length of the quoted field that starts at field (its first byte is the opening quote), both
// quotes included; a doubled quote inside is an escaped quote. 0 when the field never closes.
int quotedFieldLength(const char* field);
