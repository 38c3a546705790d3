// Small functions on NUL-terminated engine strings (GB18030) and paths.
#pragma once
#include <cstddef>

// Splits a writable string in place, as strsep does: returns the next token and moves the cursor
// past its delimiter, or sets the cursor to null after the last token. Null when the cursor is null.
char* nextToken(char** cursor, const char* delimiters);

// A new heap string with every non-overlapping occurrence of pattern replaced, or null when the
// arguments are unusable or the pattern does not occur. The caller releases the result.
char* replaceAll(const char* text, const char* pattern, const char* replacement);

int startsWith(const char* text, const char* prefix);
int startsWithIgnoreCase(const char* text, const char* prefix);
// The value of a hexadecimal digit in either letter case, -1 for any other character.
int hexDigitValue(char c);
// 1 when the first n bytes of a and b are the same, ASCII letter case ignored.
int equalIgnoreCase(const char* a, const char* b, size_t n);
int endsWithIgnoreCase(const char* text, const char* suffix);

// Pointer just past the last path separator, or the whole path when there is none.
const char* fileNameOf(const char* path);

// Copies at most size - 1 bytes and always terminates; returns 1 when the whole text fitted.
int copyBounded(char* dest, size_t size, const char* text);
