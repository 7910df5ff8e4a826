#ifndef ALLOCATIONMETER_H
#define ALLOCATIONMETER_H

#include <cstddef>

/// Counts the heap bytes the whole process holds, and the most it held since
/// the last restart(), so that a test can tell whether reading a frame made
/// anything allocate more than the frame could justify. Under AddressSanitizer
/// it listens through the sanitizer's allocation hooks; otherwise it stands in
/// front of the C library's allocator.
class AllocationMeter
{
public:
    /// Begins a new peak from what is held now.
    static void restart();
    /// The most held above the level at restart().
    static std::ptrdiff_t peakAboveStart();
    /// All bytes allocated since restart(), whether freed since or not.
    static std::ptrdiff_t allocatedSinceStart();
};

#endif // ALLOCATIONMETER_H
