// Engine text (GB18030) on the terminal and in JSON documents, both UTF-8.
#pragma once
#include <cstdio>

// A heap copy of engine text in UTF-8 (the caller frees it), or null when it cannot be made.
char* utf8FromEngine(const char* engineText);
// A heap copy of UTF-8 text in the engine's charset (the caller frees it), or null.
char* engineFromUtf8(const char* utf8);

// Writes engine text to the stream as UTF-8.
void writeUtf8Text(FILE* out, const char* engineText);

// Writes a list of engine strings as a JSON array, or null when there is no list.
struct ArrayList;
void writeJsonStringList(FILE* out, const ArrayList* list);

// Writes engine text as one JSON string, quotes included: UTF-8, with the quote, the backslash
// and every control character escaped.
void writeJsonString(FILE* out, const char* engineText);
