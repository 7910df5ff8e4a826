#ifndef ALLOCATIONMETER_H
#define ALLOCATIONMETER_H

#include <cstddef>

/// Counts the heap bytes the whole process holds, and the most it held since
/// the last restart(), so that a test can tell whether reading a frame made
/// anything allocate more than the frame could justify. It listens through
/// AddressSanitizer's allocation hooks: other builds count nothing.
class AllocationMeter
{
public:
    /// Whether allocations are counted in this build.
    static bool available();
    /// Begins a new peak from what is held now.
    static void restart();
    /// The most held above the level at restart().
    static std::ptrdiff_t peakAboveStart();
    /// All bytes allocated since restart(), whether freed since or not.
    static std::ptrdiff_t allocatedSinceStart();
};

#endif // ALLOCATIONMETER_H
