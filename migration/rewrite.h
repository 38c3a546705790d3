// Replacing downloaded image addresses in the package text by the paths of their files.
#pragma once
#include "core/containers.h"

typedef void (*RewriteProgress)(int percent);

// Rewrites *text from the address-to-file map (an empty value marks a failed download). Returns
// packageChanged: 1 when the package text must be written back.
int rewritePackageText(HashMap* imageFiles, char** text, int blankFailedImages, RewriteProgress progress);
