// The engine's own GB18030 codec: the same tables and the same code on every platform.
//
// Every sequence of UTF-16 code units survives a round trip through GB18030 unit for unit: every
// BMP character has its code (one, two or four bytes), a surrogate pair becomes the four-byte code
// of its supplementary character, and an unpaired surrogate takes a four-byte code of its own in
// space that no character uses (8431A530 onwards, right after the last BMP code 8431A439).
#pragma once

// Converts a buffer when one of the two charsets is GB18030 (any letter case), under the contract
// of convertCharset (core/charset.h); the other side is UTF-16 (marked, "UTF-16LE" or "UTF-16BE"),
// UTF-8, GB18030, or, through UTF-16LE, any charset the platform converts. Returns 0 when neither
// charset is GB18030: the caller converts. Otherwise returns 1 and stores convertCharset's result
// in *result: -1 on failure, else the number of characters dropped (input that does not decode, or
// a character the target cannot hold, such as an unpaired surrogate on its way to UTF-8).
int convertWithEngineCodec(const char* fromCharset, const char* toCharset, const char* input, int inputLength,
                           char* output, int outputSize, int* outputLength, int* result);

// Converts UTF-16 ("UTF-16" with its mark, "UTF-16LE" or "UTF-16BE") to GB18030 as convertCharset
// does, except that the output is not zero-filled first: the bytes after *outputLength keep what
// they held. For a caller that decodes a large text piece by piece into one buffer and ends it
// itself, so that no byte of the buffer is written twice. Returns convertCharset's result.
int decodeUtf16ToGb18030(const char* fromCharset, const char* input, int inputLength, char* output,
                         int outputSize, int* outputLength);

// 1 when the four bytes at p are the code the codec gives an unpaired surrogate. Such a character
// has no place in a file name: converted to UTF-8 it is dropped, so the name on disk would differ
// from the engine's path.
int isGb18030SurrogateCode(const unsigned char* p);
