#include "alloc_count.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void *__libc_malloc(size_t n);
void *__libc_calloc(size_t count, size_t n);
void *__libc_realloc(void *p, size_t n);
void *__libc_memalign(size_t alignment, size_t n);
void __libc_free(void *p);
}

namespace {
std::atomic<uint64_t> g_nAllocations(0);

void *counted(void *p) {
    g_nAllocations.fetch_add(1, std::memory_order_relaxed);
    return p;
}
} // namespace

// The executable's definitions come first in symbol lookup, so the module and
// the C++ runtime allocate through these too.
extern "C" {
void *malloc(size_t n) {
    return counted(__libc_malloc(n));
}
void *calloc(size_t count, size_t n) {
    return counted(__libc_calloc(count, n));
}
void *realloc(void *p, size_t n) {
    return counted(__libc_realloc(p, n));
}
void free(void *p) {
    __libc_free(p);
}
void *memalign(size_t alignment, size_t n) {
    return counted(__libc_memalign(alignment, n));
}
void *aligned_alloc(size_t alignment, size_t n) {
    return counted(__libc_memalign(alignment, n));
}
int posix_memalign(void **out, size_t alignment, size_t n) {
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void *p = __libc_memalign(alignment, n);
    if (!p)
        return ENOMEM;
    *out = counted(p);
    return 0;
}
}

uint64_t bench::allocation_count() {
    return g_nAllocations.load(std::memory_order_relaxed);
}
