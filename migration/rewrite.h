// Replacing downloaded image addresses in the package text by the paths of their files.
#pragma once
#include "core/containers.h"

// Told the share of the text done so far (1 to 100) with the context the caller handed over.
typedef void (*RewriteProgress)(void* context, int percent);

// Rewrites *text from the address-to-file map (an empty value marks a failed download). Returns
// packageChanged: 1 when the package text must be written back. progress, when given, is called with
// progressContext as the rewrite goes on.
int rewritePackageText(HashMap* imageFiles, char** text, int blankFailedImages, RewriteProgress progress,
                       void* progressContext);

// The rewrite's speed-ups, each of which buys at least a tenth of the time with 100,000 addresses
// (a filter of places by their first four bytes and a bit table of the addresses' hashes bought
// less, and are gone). The product runs with all of them; the rewrite benchmark switches each
// off in turn to measure what it buys. None changes the result.
struct RewriteOptions {
    bool firstByteFilter = true; // places sought with memchr among the bytes that begin an address
    bool lookahead = true;       // places found ahead of their lookups, their memory asked for early
};

// rewritePackageText with the given speed-ups.
int rewritePackageTextWith(HashMap* imageFiles, char** text, int blankFailedImages, RewriteProgress progress,
                           void* progressContext, const RewriteOptions& options);
