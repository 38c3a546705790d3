// Heap memory for the engine: an allocation that fails ends the program, the same way everywhere.
#pragma once
#include <cstddef>

// Ends the program after a failed allocation: one line in app.log (when it is open), the same
// text on the standard error, then abort. It takes no memory itself; a second failure on the way
// (another thread, or the log's own) goes straight to the abort.
[[noreturn]] void outOfMemory();

// malloc, calloc (zero-filled) and realloc that never return null: a failure ends in
// outOfMemory. A size of 0 asks for 1 byte. The memory is released with std::free.
void* allocateBytes(size_t size);
void* allocateZeroed(size_t size);
void* reallocateBytes(void* block, size_t size);
// Overwrites a text that held a secret (a password) and frees it, so that it does not linger in
// freed memory; nothing for nullptr.
void freeSecretText(char* text);
