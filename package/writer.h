// Writing the package back over the CSV file, and the numbered backup beside the program.
#pragma once

constexpr const char* BACKUP_FOLDER_NAME = "csv文件备份";

// Writes the package text back as UTF-16LE with its byte-order mark. Returns 1 on success; on
// failure the original file is untouched and the fatal message is shown (windowFatalError).
int writePackage(const char* path, const char* text);

// Copies the package byte for byte into the backup folder under the lowest free number.
// Returns 1 on success; on failure the fatal message is shown (windowFatalError).
int backupPackage(const char* path);
