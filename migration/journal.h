// The run journal: every image a run saves is recorded (address, file, size) in a file of the
// package kept in the program's folder, so that a run that dies without writing the package back
// costs no download. The next run of the same package adopts every recorded file that is still
// there, whole, and removes the journal once the package is written back.
#pragma once
#include "platform/files.h"

#include <cstdio>

struct HashMap;
struct JournalFlusher;

struct RunJournal {
    FILE* file; // nullptr when no journal could be opened: the run goes on without one
    char path[PATH_BUFFER_SIZE];
    int unsynced; // records written to the system since the last push to the disk
    // A thread that pushes new records to the disk once a second, whatever the run is waiting
    // for; it and the run take turns on the file under its mutex.
    JournalFlusher* flusher;
};

// The journal of a package: "vedo-<hash of the full path>.journal" in the program's folder.
// Returns 0 when the path does not fit.
int journalPathFor(const char* packagePath, char* path);

// Reads the journal at the path up to its last whole record and puts every recorded address whose
// file still exists with the recorded size into imageFiles (address -> path; a later record of an
// address wins). A journal of another package, or none, adopts nothing. Returns the count adopted.
int adoptJournal(const char* path, const char* packagePath, HashMap* imageFiles);

// Opens the package's journal for appending (keeping what an earlier run recorded, since the files
// it adopted are still unwritten to the package) and records the package's path first.
void openJournal(RunJournal* journal, const char* packagePath);
// Records an image about to take its name. The record reaches the system before the file takes
// the name, so that a killed process never leaves a named file unrecorded.
void journalImage(RunJournal* journal, const char* address, const char* path, long long size);
// Pushes the records written so far to the disk at once (the flusher does it every second).
void syncJournal(RunJournal* journal);
// Closes the journal; with remove set (the package has been written back) the file goes too.
void closeJournal(RunJournal* journal, int remove);

// The bytes of one record, for tests that damage a journal: a mark, the payload's length and its
// checksum, then the payload.
constexpr int JOURNAL_RECORD_HEAD = 12;
