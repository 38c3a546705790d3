// Converts a buffer between two named character sets. Returns -1 on failure (the output buffer is
// left untouched when the converter cannot be opened), otherwise 0 or more; only the sign is
// meaningful to callers. A conversion to or from GB18030 returns the number of characters it
// dropped; the others return 0 on Windows and iconv's count of irreversible conversions on Linux,
// which leaves out the characters dropped. The output buffer is zero-filled first, so a buffer
// sized larger than the output leaves the result NUL-terminated. Characters that the target cannot
// hold, and input that does not decode, are dropped.
//
// Names the system uses: "UTF-16" (byte-order mark honoured, big-endian without one),
// "UTF-16LE", "GB18030", "GBK", "UTF-8" (any letter case). GB18030 converts through the engine's
// own codec on every platform (platform/gb18030.h), so that every UTF-16 code unit, paired or not,
// survives the round trip through the engine's text; the other charsets through the platform's
// converter (platform/charset.h). Implemented in core/charset.cpp.
#pragma once
#include <cstddef>
#include <string>

// GCC and clang check a format that passes through programText.
#if defined(__GNUC__) || defined(__clang__)
#define PROGRAM_TEXT_FORMAT __attribute__((format_arg(1)))
#else
#define PROGRAM_TEXT_FORMAT
#endif

int convertCharset(const char* fromCharset, const char* toCharset, const char* input, int inputLength,
                   char* output, int outputSize, int* outputLength);

// Converts a whole text, sizing the result itself: *output receives exactly the bytes produced
// (no NUL of its own; c_str() gives a terminated copy). Returns convertCharset's result; on failure
// *output is empty. No charset the program names gives more than four bytes for one input byte.
int convertText(const char* fromCharset, const char* toCharset, const char* input, size_t inputLength,
                std::string* output);

// The engine's own text encoding: "GB18030" on every platform.
const char* engineCharset();

// 1 when two charset names are the same in any letter case ("utf-8" and "UTF-8").
int sameCharsetName(const char* a, const char* b);

// The program's own texts are written in UTF-8 in the sources; this gives the engine's text for
// one of them, converted on first use and kept for the life of the process (thread-safe). The
// result keeps the text's printf conversions, so the compiler checks a format passed through it.
const char* programText(const char* utf8) PROGRAM_TEXT_FORMAT;
