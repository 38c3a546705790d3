// Large buffers on Linux: advice to back them with huge pages where the system offers them.
#include "platform/memory.h"

#include <cstdint>
#include <sys/mman.h>

void adviseLargeBuffer(void* buffer, size_t size) {
#ifdef MADV_HUGEPAGE
    // Only whole, aligned huge pages inside the buffer can be advised.
    constexpr uintptr_t HUGE_PAGE = 2 * 1024 * 1024;
    const uintptr_t begin = reinterpret_cast<uintptr_t>(buffer);
    const uintptr_t first = (begin + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const uintptr_t last = (begin + size) & ~(HUGE_PAGE - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)buffer;
    (void)size;
#endif
}
