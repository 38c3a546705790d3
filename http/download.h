// Fetching one image address into a file.
#pragma once

constexpr int HTTP_BUFFER_SIZE = 8192;
constexpr int MAX_IMAGE_SIZE = 10485760;
constexpr int ERROR_TEXT_SIZE = 1024;

// Result: 1 stored; 0 refused on its content; -1 address, connection or protocol failure;
// -2 writing the file failed; -3 the file cannot be created. errorText (ERROR_TEXT_SIZE bytes,
// zero-filled by the caller) receives the failure text.
int downloadImage(const char* url, const char* destPath, char* errorText, int useKeepAlive, int redirected);
