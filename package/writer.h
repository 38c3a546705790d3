// Writing the package back over the CSV file, and the numbered backup beside the program.
#pragma once

// The backup folder beside the program, as UTF-8 source text (programText gives the engine's).
constexpr const char* BACKUP_FOLDER_NAME = "csv文件备份";

// Writes the package text back as UTF-16LE with its byte-order mark. Returns 1 on success; on
// failure the original file is untouched and the fatal message is shown (windowFatalError).
int writePackage(const char* path, const char* text);

// Copies the package byte for byte into the backup folder under the lowest free number.
// Returns 1 on success; on failure the fatal message is shown (windowFatalError).
int backupPackage(const char* path);

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

// The temporary file that the write-back fills before it replaces the package: the package's
// path with this suffix, in the same folder.
constexpr const char* WRITER_TEMP_SUFFIX = ".vedo-tmp";
