// Image file names: the extension for an address, the stem made from an item's title, the
// numbered names of description images and the stamp names of mobile images and fallbacks.
#pragma once
#include <cstdint>

struct RunJournal;

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
// The numbered path of one number, taken or not, into a PATH_BUFFER_SIZE buffer; 0 (and an empty
// buffer) when it does not fit.
int formatNumberedImagePath(const char* folder, const char* stem, int number, const char* ext, char* path);
// The first free stamp path, into a PATH_BUFFER_SIZE buffer; advances stampCounter. Returns 0 when
// the path does not fit.
int stampImagePath(const char* folder, const char* ext, char* path);
// The same two names, taken by moving an image that was downloaded beforehand (into a part file of
// the run, in the same folder) under them: a name another run took meanwhile, or a link under a
// free name, is passed over for the next number (or the next counter value), and the move never
// replaces anything. With a journal, the image (its address and size) is recorded under a name
// before it takes the name, so that no named file is ever unrecorded. Return 0 when no name can
// be taken (it does not fit, the system refuses its characters, the folder is not writable);
// `from` then stays where it was.
int placeNumberedImage(const char* folder, const char* stem, int* number, const char* ext, const char* from,
                       char* path, RunJournal* journal = nullptr, const char* address = nullptr,
                       long long size = 0);
int placeStampImage(const char* folder, const char* ext, const char* from, char* path,
                    RunJournal* journal = nullptr, const char* address = nullptr, long long size = 0);
// Room that a stamp name takes behind its folder: the separator, the longest date and counter and
// the longest extension, with the terminating NUL.
constexpr int STAMP_NAME_ROOM = 40;
// 1 when the folder leaves room in a path buffer for every stamp name.
int imageFolderHasRoom(const char* folder);
// Takes the run's start time for the stamp names.
void takeJobStartTime();
