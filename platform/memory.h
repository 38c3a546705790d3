// Large buffers.
#pragma once
#include <cstddef>

// Tells the system that a large buffer is about to be filled: where it can back the buffer with
// large pages it does, so that filling it takes far fewer page faults. Changes nothing else; the
// buffer is released as usual.
void adviseLargeBuffer(void* buffer, size_t size);
