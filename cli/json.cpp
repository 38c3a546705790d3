// Engine text on the terminal and in JSON documents: conversion to UTF-8 and JSON string escaping.
#include "cli/json.h"

#include "core/charset.h"
#include "core/containers.h"

#include <cstdlib>
#include <cstring>

static char* convertWhole(const char* from, const char* to, const char* text, size_t factor) {
    size_t n = std::strlen(text);
    // Engine text to UTF-8 takes at most 3 bytes for 2 (a GBK character) and 4 for 4; UTF-8 to
    // the engine's charset never grows. Twice the length always fits.
    size_t size = n * factor + 4;
    if (size > 0x7FFFFFF0u) return nullptr;
    char* out = static_cast<char*>(std::malloc(size));
    if (!out) return nullptr;
    int produced = 0;
    if (convertCharset(from, to, text, static_cast<int>(n), out, static_cast<int>(size) - 1, &produced) < 0 ||
        produced < 0 || static_cast<size_t>(produced) >= size) {
        std::free(out);
        return nullptr;
    }
    out[produced] = '\0';
    return out;
}

char* utf8FromEngine(const char* engineText) {
    return convertWhole(engineCharset(), "UTF-8", engineText, 2);
}

char* engineFromUtf8(const char* utf8) {
    return convertWhole("UTF-8", engineCharset(), utf8, 2);
}

void writeUtf8Text(FILE* out, const char* engineText) {
    char* utf8 = utf8FromEngine(engineText);
    std::fputs(utf8 ? utf8 : engineText, out);
    std::free(utf8);
}

void writeJsonString(FILE* out, const char* engineText) {
    char* utf8 = utf8FromEngine(engineText);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8 ? utf8 : "");
    std::fputc('"', out);
    for (; *p; p++) {
        switch (*p) {
        case '"':
            std::fputs("\\\"", out);
            break;
        case '\\':
            std::fputs("\\\\", out);
            break;
        case '\n':
            std::fputs("\\n", out);
            break;
        case '\r':
            std::fputs("\\r", out);
            break;
        case '\t':
            std::fputs("\\t", out);
            break;
        default:
            if (*p < 0x20) {
                std::fprintf(out, "\\u%04x", *p);
            } else {
                std::fputc(*p, out);
            }
        }
    }
    std::fputc('"', out);
    std::free(utf8);
}

void writeJsonStringList(FILE* out, const ArrayList* list) {
    if (!list) {
        std::fputs("null", out);
        return;
    }
    std::fputc('[', out);
    for (int32_t i = 0; i < list->count; i++) {
        if (i) std::fputc(',', out);
        writeJsonString(out, static_cast<const char*>(list->items[i]));
    }
    std::fputc(']', out);
}
