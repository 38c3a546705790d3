// Converts a buffer between two named character sets. Returns -1 on failure (the output buffer is
// left untouched when the converter cannot be opened), otherwise a count of irreversible
// conversions, 0 when nothing was lost: GB18030 conversions count the characters they dropped, the
// platform's converters for the other names report what they report. The output buffer is
// zero-filled first, so a buffer sized larger than the output leaves the result NUL-terminated.
// Characters that the target cannot hold, and input that does not decode, are dropped.
//
// Names the system uses: "UTF-16" (byte-order mark honoured, big-endian without one),
// "UTF-16LE", "GB18030", "GBK", "UTF-8" (any letter case). GB18030 converts through the engine's
// own codec on every platform (core/gb18030.h), so that every UTF-16 code unit, paired or not,
// survives the round trip through the engine's text.
#pragma once

int convertCharset(const char* fromCharset, const char* toCharset, const char* input, int inputLength,
                   char* output, int outputSize, int* outputLength);

// The engine's own text encoding: "GB18030" on every platform.
const char* engineCharset();

// The program's own texts are written in UTF-8 in the sources; this gives the engine's text for
// one of them, converted on first use and kept for the life of the process (thread-safe). The
// result keeps the text's printf conversions, so the compiler checks a format passed through it.
#if defined(__GNUC__) || defined(__clang__)
__attribute__((format_arg(1)))
#endif
const char*
programText(const char* utf8);
