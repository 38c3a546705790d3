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
