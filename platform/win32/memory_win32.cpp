// Large buffers on Windows: nothing to advise, the system's defaults stand.
#include "platform/memory.h"

// Large pages on Windows need a privilege that a seller's account does not hold.
void adviseLargeBuffer(void*, size_t) {}
