// The application log app.log beside the program: one "%H:%M:%S"-stamped line per event.
#pragma once
#include <cstdio>

constexpr long long LOG_MAX_SIZE = 2097152;

extern FILE* logFile;

// Opens app.log in appDir for appending, deleting it first when it is larger than LOG_MAX_SIZE.
// Returns 1 on success and 0 when the file cannot be opened.
int openLog();

// Appends the time, a space, the message and CR LF, then flushes. Whole lines from different
// threads never interleave. Does nothing before openLog has succeeded.
void writeLog(const char* message);

// printf-style convenience over writeLog; the line is cut at 8,191 bytes.
void writeLogFormat(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Writes the local time as "%H:%M:%S" into the buffer, forces its last byte to NUL and returns
// the length written.
int formatClock(char* buffer, int size);
