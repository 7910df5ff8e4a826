#ifndef RULECOSTS_H
#define RULECOSTS_H

#include "Samples.h"

/// What the library's fixed way of waiting costs, each piece measured on its
/// own without a server: the readiness check that starts every wait, one
/// pass of the waiting loop, and the trip of a request through the three
/// threads (queued to a worker thread, its finish code queued on to a handler
/// thread, picked up by the busy-polling caller).
class RuleCosts
{
public:
    /// One check of the server's readiness block, as every wait begins with.
    static Samples readinessCheck(int maxCalls, int maxMs);
    /// One pass of the waiting loop with nothing to do: processEvents and a
    /// yield of the processor.
    static Samples waitingPass(int maxCalls, int maxMs);
    /// A request's trip through the three threads and back, with or without
    /// the readiness check on the calling thread while it travels.
    static Samples threadTrip(bool withReadinessCheck, int maxCalls, int maxMs);
};

#endif // RULECOSTS_H
