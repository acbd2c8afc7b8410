// Counts heap allocations made anywhere in the process, the loaded module
// included: malloc and its relatives are replaced by counting versions that
// hand on to the C library's allocator.
#pragma once

#include <cstdint>

namespace bench {

// Allocations (malloc, calloc, realloc, the aligned forms, and so every
// operator new) since the process started.
uint64_t allocation_count();

} // namespace bench
