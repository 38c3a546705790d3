// Image file names: the extension for an address, the stem made from an item's title, the
// numbered names of description images and the stamp names of mobile images and fallbacks.
#pragma once
#include <cstdint>

constexpr int EXTENSION_MAX_LENGTH = 7;

// The local date and time at the start of the current run; every stamp name of the run uses it.
struct JobStartTime {
    int year;
    int month; // 1-12
    int day;
    int hour;   // 0-23
    int minute; // 0-59
};
extern JobStartTime jobStartTime;

// The running number of stamp names: 1 when the program starts, never reset, advanced by every
// stamp name formed (also by one that turns out to be taken).
extern int32_t stampCounter;

// Copies at most max bytes of the address's extension into out (a zeroed buffer of max + 1).
void extensionFromUrl(const char* url, char* out, int max);
// One of "jpg", "jpeg", "png", "gif", "bmp" (a string constant).
const char* chooseImageExtension(const char* url);
// The title made usable as part of a file name, into a buffer of ITEM_TITLE_SIZE (128) bytes.
void titleFileStem(const char* title, char* stem);
// The first free numbered path at or above *number, into a PATH_BUFFER_SIZE buffer; *number
// becomes one past the number used. Returns 0 (and writes nothing usable) when the path does not
// fit its buffer, so that the caller falls back to a stamp name.
int numberedImagePath(const char* folder, const char* stem, int* number, const char* ext, char* path);
// The first free stamp path, into a PATH_BUFFER_SIZE buffer; advances stampCounter. Returns 0 when
// the path does not fit.
int stampImagePath(const char* folder, const char* ext, char* path);
// Takes the run's start time for the stamp names.
void takeJobStartTime();
