// The platform's own charset conversion: iconv on Linux, the system's code pages and UTF-16 on
// Windows. convertCharset (core/charset.h) hands it every conversion that does not involve
// GB18030, which the engine's codec converts; it keeps convertCharset's contract.
#pragma once

int convertPlatformCharset(const char* fromCharset, const char* toCharset, const char* input, int inputLength,
                           char* output, int outputSize, int* outputLength);
