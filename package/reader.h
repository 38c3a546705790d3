// Reading a data package (the CSV file that Taobao Assistant exports, UTF-16 on disk) into items,
// and collecting the image addresses that the items' description and mobile-details markup hold.
#pragma once
#include "core/containers.h"

// The description patterns, applied in this order. Each has exactly one capturing group, the
// address. Matching ignores case; only http:// addresses are found.
inline constexpr int DESC_IMAGE_PATTERN_COUNT = 9;
inline constexpr const char* DESC_IMAGE_PATTERNS[DESC_IMAGE_PATTERN_COUNT] = {
    "<img [^>]*src[ ]*=[ ]*[\"]+[ ]*(http://[^\"]*)",
    "<img [^>]*src[ ]*=[ ]*[']+[ ]*(http://[^']*)",
    "<img [^>]*[ ]*src[ ]*=[ ]*(http://[^ |>]*)",
    "background[ ]*=[ ]*[\"]+[ ]*(http://[^\"]*)",
    "background[ ]*=[ ]*[']+[ ]*(http://[^']*)",
    "background[ ]*=[ ]*(http://[^ |>]*)",
    "background[ ]*:[ ]*url[ ]*\\([ ]*[\"]+[ ]*(http://[^\"]*)",
    "background[ ]*:[ ]*url[ ]*\\([ ]*[']+[ ]*(http://[^']*)",
    "background[ ]*:[ ]*url[ ]*\\([ ]*(http://[^\\)]*)",
};

// The address that stands as the content of an img element of the mobile details.
inline constexpr const char* MOBILE_IMAGE_PATTERN = "<img[^>]*>(http://[^<]*)</img>";

// The same places with the addresses that secure mode adds: https:// (any case) and
// protocol-relative ones, "//" and then a host (a letter or a digit, so neither "///" nor "//\"").
// In secure mode a read runs them after the http:// patterns, in the same order, and
// collectImageRefs runs a pattern's counterpart right after it; an address is kept exactly as it
// is written.
inline constexpr const char* SECURE_DESC_IMAGE_PATTERNS[DESC_IMAGE_PATTERN_COUNT] = {
    "<img [^>]*src[ ]*=[ ]*[\"]+[ ]*((?:https://|//[a-z0-9])[^\"]*)",
    "<img [^>]*src[ ]*=[ ]*[']+[ ]*((?:https://|//[a-z0-9])[^']*)",
    "<img [^>]*[ ]*src[ ]*=[ ]*((?:https://|//[a-z0-9])[^ |>]*)",
    "background[ ]*=[ ]*[\"]+[ ]*((?:https://|//[a-z0-9])[^\"]*)",
    "background[ ]*=[ ]*[']+[ ]*((?:https://|//[a-z0-9])[^']*)",
    "background[ ]*=[ ]*((?:https://|//[a-z0-9])[^ |>]*)",
    "background[ ]*:[ ]*url[ ]*\\([ ]*[\"]+[ ]*((?:https://|//[a-z0-9])[^\"]*)",
    "background[ ]*:[ ]*url[ ]*\\([ ]*[']+[ ]*((?:https://|//[a-z0-9])[^']*)",
    "background[ ]*:[ ]*url[ ]*\\([ ]*((?:https://|//[a-z0-9])[^\\)]*)",
};
inline constexpr const char* SECURE_MOBILE_IMAGE_PATTERN = "<img[^>]*>((?:https://|//[a-z0-9])[^<]*)</img>";

// The file is decoded in pieces of this many bytes, one conversion call each.
inline constexpr int PACKAGE_DECODE_PIECE_SIZE = 1 << 20;

// Titles are quoted fields of at most this many bytes, quotes included (125 bytes of title).
inline constexpr int TITLE_FIELD_MAX = 127;

// Reads the package at path (engine text). Appends one Item per data row to items and hands back
// the whole package as one engine string (GB18030, "_.webp" removed) in *packageText, which the
// caller then owns. Returns 1 on success. In secure mode (secureMode 1) the https and
// protocol-relative image addresses are collected as well; with it off, an item whose markup holds
// such addresses gets them in its uncollected lists (see Item). On failure returns 0, leaves
// *packageText and the list as they were, writes the reason to app.log and keeps it for
// lastReadFailure. A pattern that cannot be compiled or matched is fatal: windowFatalError.
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

// Adds to list (heap copies it owns) each distinct address that pattern captures in field, the
// whole quoted field as a NUL-terminated string. Description addresses on the excluded hosts and
// the exact blank placeholder address (written with http://, https:// or //) are left out. In
// secure mode (secureMode 1) a pattern of DESC_IMAGE_PATTERNS also runs its secure counterpart.
// Returns 1, or 0 when the pattern does not compile or matching fails (the details go to app.log).
int collectImageRefs(const char* field, ArrayList* list, const char* pattern, int secureMode);

// The same for the mobile details with MOBILE_IMAGE_PATTERN (and in secure mode its secure
// counterpart); nothing is excluded.
int collectMobileImageRefs(const char* field, ArrayList* list, int secureMode);
