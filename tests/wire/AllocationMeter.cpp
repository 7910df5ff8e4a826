#include "AllocationMeter.h"

#include <atomic>

#if defined(__SANITIZE_ADDRESS__)
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, size_t),
                                              void (*)(const volatile void *));
size_t __sanitizer_get_allocated_size(const volatile void *);
}
#endif

namespace {

std::atomic<std::ptrdiff_t> held{0};
std::atomic<std::ptrdiff_t> peak{0};
std::atomic<std::ptrdiff_t> start{0};
std::atomic<std::ptrdiff_t> allocated{0};

#if defined(__SANITIZE_ADDRESS__)

void onMalloc(const volatile void *, size_t size)
{
    const auto bytes = std::ptrdiff_t(size);
    allocated.fetch_add(bytes, std::memory_order_relaxed);
    const std::ptrdiff_t now = held.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    std::ptrdiff_t seen = peak.load(std::memory_order_relaxed);
    while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
}

void onFree(const volatile void *pointer)
{
    if (pointer)
        held.fetch_sub(std::ptrdiff_t(__sanitizer_get_allocated_size(pointer)),
                       std::memory_order_relaxed);
}

const bool hooksInstalled = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;

#else

const bool hooksInstalled = false;

#endif

} // namespace

bool AllocationMeter::available()
{
    return hooksInstalled;
}

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
