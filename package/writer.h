// Writing the package back over the CSV file, and the numbered backup beside the program.
#pragma once

// The backup folder beside the program, as UTF-8 source text (programText gives the engine's).
constexpr const char* BACKUP_FOLDER_NAME = "csv文件备份";

// Writes the package text back as UTF-16LE with its byte-order mark. Returns 1 on success; on
// failure returns 0 with the original file untouched, and lastWriteFailure gives the fatal message
// that the caller shows before it ends the run (windowFatalError).
int writePackage(const char* path, const char* text);

// Copies the package byte for byte into the backup folder under the lowest free number.
// Returns 1 on success; on failure returns 0, leaves no partial copy, and lastWriteFailure gives
// the fatal message.
int backupPackage(const char* path);

// Why the last writePackage or backupPackage on this thread failed (engine text, already written
// to app.log); empty after a success.
const char* lastWriteFailure();

// The steps of the write-back, in order. Tests set writerFailAtStep to one of them to make that
// step fail as a full disk or a locked file would; 0 (the default) injects nothing.
enum WriterStep {
    WRITER_STEP_NONE = 0,
    WRITER_STEP_CONVERT = 1,
    WRITER_STEP_OPEN = 2,
    WRITER_STEP_WRITE = 3,
    WRITER_STEP_FLUSH = 4,
    WRITER_STEP_REPLACE = 5,
};
extern int writerFailAtStep;

// The temporary file that the write-back fills before it replaces the package lies in the folder
// of the file the package path leads to (the target of a link), under a name of its own that
// begins with this character and is no longer than the package's own name, so that it fits
// wherever the package fits.
constexpr char WRITER_TEMP_MARK = '~';

// Taking the package for one run. Both front ends call beginPackageRun after their own start
// checks and before the job starts: it locks the package against every other run (another window,
// another vedo-cli) and makes sure that the run can write the package back at its end. On
// PACKAGE_READY the lock is held until endPackageRun (the job calls it when it ends; the end of the
// process releases it too); on a refusal nothing is held and nothing was changed.
enum PackageRunCheck {
    PACKAGE_READY = 0,
    PACKAGE_BUSY = 1,             // another run holds the package
    PACKAGE_READ_ONLY = 2,        // the package file may not be written
    PACKAGE_FOLDER_READ_ONLY = 3, // no file can be made beside it
    PACKAGE_PATH_TOO_LONG = 4,    // the package (or the file its link leads to) has no room
    PACKAGE_MISSING = 5,          // the package cannot be opened
    IMAGE_FOLDER_TOO_LONG = 6,    // the image folder leaves no room for image names (the job's check)
};
int beginPackageRun(const char* packagePath);
// The message (UTF-8) that tells the user about a refusal; the caption is "提示".
const char* packageRunRefusalText(int check);
void endPackageRun();
// Removes every write-back temporary file beside the package (in the folder of the file it leads
// to) that no live run holds: a killed run's leftovers.
void removeLeftoverWriteBackFiles(const char* packagePath);

// What a front end saw of the package when it read it: a run refuses a package that changed on
// disk since, so that a stale copy is never written back over another run's work.
struct PackageSnapshot {
    long long size;
    long long modified;
    unsigned long long hash; // of the file's bytes
};
// Takes the snapshot; 0 when the file cannot be read.
int snapshotPackage(const char* path, PackageSnapshot* snapshot);
// 1 when the file at the path is still the one of the snapshot.
int packageUnchanged(const char* path, const PackageSnapshot& snapshot);
