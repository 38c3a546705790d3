// Engine text on the terminal and in JSON documents: conversion to UTF-8 and JSON string escaping.
#include "cli/json.h"

#include "core/allocate.h"
#include "core/charset.h"
#include "core/containers.h"

#include <cstdlib>
#include <cstring>

static char* convertWhole(const char* from, const char* to, const char* text) {
    std::string converted;
    if (convertText(from, to, text, std::strlen(text), &converted) < 0) return nullptr;
    char* out = static_cast<char*>(allocateBytes(converted.size() + 1));
    std::memcpy(out, converted.c_str(), converted.size() + 1);
    return out;
}

char* utf8FromEngine(const char* engineText) {
    return convertWhole(engineCharset(), "UTF-8", engineText);
}

char* engineFromUtf8(const char* utf8) {
    return convertWhole("UTF-8", engineCharset(), utf8);
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
