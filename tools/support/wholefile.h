// Reading a whole file back, for the tests, the fuzz targets and the benchmarks.
#pragma once
#include "platform/files.h"

#include <cstdio>
#include <string>

// The file's bytes; empty when it cannot be opened.
inline std::string readWholeFile(const std::string& path) {
    std::string bytes;
    FILE* f = openFile(path.c_str(), "rb");
    if (!f) return bytes;
    char block[65536];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0)
        bytes.append(block, n);
    std::fclose(f);
    return bytes;
}
