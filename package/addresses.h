// Finding the image addresses of one field: the compiled description and mobile patterns (http://,
// and in secure mode https:// and protocol-relative), matched where their literal beginning stands,
// with excluded hosts and the blank placeholder left out and each address kept once per list.
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

// Adds to list (heap copies it owns) each distinct address that pattern captures in field, the
// whole quoted field as a NUL-terminated string. Description addresses on the excluded hosts and
// the exact blank placeholder address (written with http://, https:// or //) are left out. In
// secure mode (secureMode 1) a pattern of DESC_IMAGE_PATTERNS also runs its secure counterpart.
// Returns 1, or 0 when the pattern does not compile or matching fails (the details go to app.log).
int collectImageRefs(const char* field, ArrayList* list, const char* pattern, int secureMode);

// The same for the mobile details with MOBILE_IMAGE_PATTERN (and in secure mode its secure
// counterpart); nothing is excluded.
int collectMobileImageRefs(const char* field, ArrayList* list, int secureMode);

// Compiles the patterns above once per process; collecting does so itself when needed.
void prepareAddressPatterns();

// The addresses of a description field (the quoted field of length bytes, NUL-terminated): the nine
// description patterns in order into list. With secure off, the https:// and protocol-relative
// addresses go to a list of their own that *uncollected receives when there are any; with secure
// on, they follow in list. Returns 1, or 0 when a pattern cannot be compiled or matching fails.
int collectDescriptionAddresses(const char* field, int length, ArrayList* list, bool secure,
                                ArrayList** uncollected);

// The same for a mobile-details field with the mobile pattern; nothing is excluded.
int collectMobileAddresses(const char* field, int length, ArrayList* list, bool secure,
                           ArrayList** uncollected);
