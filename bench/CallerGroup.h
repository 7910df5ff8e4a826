#ifndef CALLERGROUP_H
#define CALLERGROUP_H

#include "Samples.h"

/// Several callers at once: `callers` client objects, each created and used on
/// a thread of its own, all calling setInt for the same stretch of time.
class CallerGroup
{
public:
    /// The merged per-call samples of all callers; their wall time is the
    /// stretch they all ran, so perSecond() is the total rate.
    static Samples run(int callers, int maxCallsEach, int maxMs);
};

#endif // CALLERGROUP_H
