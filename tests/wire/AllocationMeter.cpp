#include "AllocationMeter.h"

#include <atomic>

namespace {

std::atomic<std::ptrdiff_t> held{0};
std::atomic<std::ptrdiff_t> peak{0};
std::atomic<std::ptrdiff_t> start{0};
std::atomic<std::ptrdiff_t> allocated{0};

void add(std::ptrdiff_t bytes)
{
    allocated.fetch_add(bytes, std::memory_order_relaxed);
    const std::ptrdiff_t now = held.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    std::ptrdiff_t seen = peak.load(std::memory_order_relaxed);
    while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
}

void remove(std::ptrdiff_t bytes)
{
    held.fetch_sub(bytes, std::memory_order_relaxed);
}

} // namespace

void AllocationMeter::restart()
{
    const std::ptrdiff_t now = held.load();
    start.store(now);
    peak.store(now);
    allocated.store(0);
}

std::ptrdiff_t AllocationMeter::peakAboveStart()
{
    return peak.load() - start.load();
}

std::ptrdiff_t AllocationMeter::allocatedSinceStart()
{
    return allocated.load();
}

#if defined(__SANITIZE_ADDRESS__)

extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, size_t),
                                              void (*)(const volatile void *));
size_t __sanitizer_get_allocated_size(const volatile void *);
}

namespace {

void onMalloc(const volatile void *, size_t size)
{
    add(std::ptrdiff_t(size));
}

void onFree(const volatile void *pointer)
{
    if (pointer)
        remove(std::ptrdiff_t(__sanitizer_get_allocated_size(pointer)));
}

const int hooksInstalled = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);

} // namespace

#else

#include <cerrno>
#include <malloc.h>

// The program's own definitions take the place of the C library's for every
// library it loads (Qt included); they hand on to glibc's exported entry points.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);

namespace {

void *counted(void *pointer)
{
    if (pointer)
        add(std::ptrdiff_t(malloc_usable_size(pointer)));
    return pointer;
}

} // namespace

void *malloc(size_t size)
{
    return counted(__libc_malloc(size));
}

void *calloc(size_t count, size_t size)
{
    return counted(__libc_calloc(count, size));
}

void free(void *pointer)
{
    if (pointer)
        remove(std::ptrdiff_t(malloc_usable_size(pointer)));
    __libc_free(pointer);
}

void *realloc(void *pointer, size_t size)
{
    const std::ptrdiff_t before = pointer ? std::ptrdiff_t(malloc_usable_size(pointer)) : 0;
    void *moved = __libc_realloc(pointer, size);
    if (moved || size == 0)
        remove(before);
    return counted(moved);
}

void *memalign(size_t alignment, size_t size)
{
    return counted(__libc_memalign(alignment, size));
}

void *aligned_alloc(size_t alignment, size_t size)
{
    return counted(__libc_memalign(alignment, size));
}

int posix_memalign(void **out, size_t alignment, size_t size)
{
    void *pointer = counted(__libc_memalign(alignment, size));
    if (!pointer)
        return ENOMEM;
    *out = pointer;
    return 0;
}
}

#endif
