// The checks of one downloadImage call on fuzzed server bytes, shared by the http and https
// targets: the call ends with one of its results, a failure never leaves the file behind, and a
// stored file is a supported image within the size limit. secure is the run's secure mode.
#pragma once
#include "http/download.h"
#include "platform/files.h"
#include "support/fuzzwindow.h"

#include <cstdio>
#include <cstring>
#include <string>

inline void checkDownload(const std::string& address, const std::string& dest, int secure) {
    char errorText[ERROR_TEXT_SIZE];
    std::memset(errorText, 0, sizeof errorText);
    int result = downloadImage(address.c_str(), secure, dest.c_str(), errorText, 1, 0);
    FUZZ_CHECK(result >= DOWNLOAD_CREATE_FAILED && result <= DOWNLOAD_STORED);
    FUZZ_CHECK(std::memchr(errorText, '\0', sizeof errorText) != nullptr);
    if (result == DOWNLOAD_STORED) {
        long long stored = fileSize(dest.c_str());
        FUZZ_CHECK(stored >= 2 && stored <= MAX_IMAGE_SIZE);
        FILE* f = openFile(dest.c_str(), "rb");
        FUZZ_CHECK(f != nullptr);
        unsigned char signature[2] = {0, 0};
        FUZZ_CHECK(std::fread(signature, 1, 2, f) == 2);
        std::fclose(f);
        FUZZ_CHECK(isSupportedImage(signature));
        removeFile(dest.c_str());
    } else {
        FUZZ_CHECK(!fileExists(dest.c_str()));
        FUZZ_CHECK(errorText[0] != '\0');
    }
}
