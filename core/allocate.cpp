// The one way the engine ends when memory runs out, and the allocations that lead to it.
#include "core/allocate.h"

#include "core/applog.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

// "内存不足，程序无法继续运行。" in the engine's text (GB18030) for app.log, and in UTF-8 for the
// standard error: both are constants, so that nothing has to be converted or allocated.
static const char OUT_OF_MEMORY_LOG_TEXT[] = "\xC4\xDA\xB4\xE6\xB2\xBB\xD7\xE3\xA3\xAC\xB3\xCC\xD0\xF2"
                                             "\xCE\xDE\xB7\xA8\xBC\xCC\xD0\xF8\xD4\xCB\xD0\xD0\xA1\xA3";
static const char OUT_OF_MEMORY_MESSAGE[] = "内存不足，程序无法继续运行。\n";

void outOfMemory() {
    static std::atomic<int> entered{0};
    if (entered.exchange(1) == 0) {
        writeLog(OUT_OF_MEMORY_LOG_TEXT);
        std::fputs(OUT_OF_MEMORY_MESSAGE, stderr);
        std::fflush(stderr);
    }
    std::abort();
}

// What operator new cannot get (the standard containers, std::string) ends the same way.
static void newFailed() {
    outOfMemory();
}
[[maybe_unused]] static const std::new_handler previousNewHandler = std::set_new_handler(newFailed);

void* allocateBytes(size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (!block) outOfMemory();
    return block;
}

void* allocateZeroed(size_t size) {
    void* block = std::calloc(1, size == 0 ? 1 : size);
    if (!block) outOfMemory();
    return block;
}

void* reallocateBytes(void* block, size_t size) {
    void* moved = std::realloc(block, size == 0 ? 1 : size);
    if (!moved) outOfMemory();
    return moved;
}

void freeSecretText(char* text) {
    if (!text) return;
    volatile char* bytes = text;
    for (size_t i = 0; bytes[i]; i++)
        bytes[i] = 0;
    std::free(text);
}
