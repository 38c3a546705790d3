// The engine's own GB18030 codec: the same tables and the same code on every platform. It converts
// between GB18030 and the Unicode forms without the system's help, so that the files of the ground
// (paths on either system) and the engine's charset conversion (core/charset.h) share one codec.
//
// Every sequence of UTF-16 code units survives a round trip through GB18030 unit for unit: every
// BMP character has its code (one, two or four bytes), a surrogate pair becomes the four-byte code
// of its supplementary character, and an unpaired surrogate takes a four-byte code of its own in
// space that no character uses (8431A530 onwards, right after the last BMP code 8431A439).
#pragma once
#include <cstddef>
#include <string>

// The forms the codec reads and writes. FORM_UTF16 reads a byte-order mark (big-endian without
// one) and writes one (little-endian); FORM_OTHER is no form of the codec's.
enum CodecForm { FORM_UTF16, FORM_UTF16LE, FORM_UTF16BE, FORM_UTF8, FORM_GB18030, FORM_OTHER };

// Converts length bytes of input from one form to another into output (size bytes, zero-filled
// first), storing the bytes produced in *produced. Returns -1 when the output is too small or the
// input ends inside a character, else the number of characters dropped: input that does not
// decode, or a character the target cannot hold (an unpaired surrogate on its way to UTF-8).
int convertCodecForms(CodecForm from, CodecForm to, const char* input, size_t length, char* output,
                      size_t size, size_t* produced);

// Converts a whole text, sizing the result itself: *output receives exactly the bytes produced.
// Returns convertCodecForms's result; on failure *output is empty.
int convertCodecText(CodecForm from, CodecForm to, const char* input, size_t length, std::string* output);

// Converts UTF-16 (FORM_UTF16 with its mark, FORM_UTF16LE or FORM_UTF16BE) to GB18030 as
// convertCodecForms does, except that the output is not zero-filled first: the bytes after
// *outputLength keep what they held. For a caller that decodes a large text piece by piece into one
// buffer and ends it itself, so that no byte of the buffer is written twice. Returns -1 for any
// other form.
int decodeUtf16ToGb18030(CodecForm from, const char* input, int inputLength, char* output, int outputSize,
                         int* outputLength);

// 1 when the four bytes at p are the code the codec gives an unpaired surrogate. Such a character
// has no place in a file name: converted to UTF-8 it is dropped, so the name on disk would differ
// from the engine's path.
int isGb18030SurrogateCode(const unsigned char* p);
