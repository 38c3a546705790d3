// Scratch folders and whole-file helpers for tests.
#pragma once
#include "tools/support/wholefile.h"

#include <string>

// A fresh empty folder under the system's temporary folder, removed with its contents by
// removeTree. Paths are engine text (ASCII here, so the same on every platform).
std::string makeTempDir(const char* tag);
void removeTree(const std::string& path);

void writeWholeFile(const std::string& path, const std::string& bytes);
std::string joinPath(const std::string& folder, const std::string& name);

// A quoted CSV field: the text in quotes with each quote doubled.
std::string csvQuoted(const std::string& text);

// UTF-8 text to the engine's GB18030 and to UTF-16LE bytes with the byte-order mark.
std::string utf8ToEngine(const std::string& utf8);
std::string engineToUtf8(const std::string& engine);
std::string utf8ToUtf16leWithBom(const std::string& utf8);
// UTF-16LE bytes after a two-byte byte-order mark, as a package file holds them, to UTF-8.
std::string utf16leWithBomToUtf8(const std::string& bytes);

// Runs a command line through the system's shell and returns the command's exit status (-1 when it
// did not end normally). Under Wine the shell itself now and then fails to start when the machine
// is busy: the command never ran, and it is started again (at most three times in all).
int runCommandLine(const std::string& line);

// Sets or (value nullptr) removes an environment variable of the test process and its children.
void setEnvironmentVariable(const char* name, const char* value);
