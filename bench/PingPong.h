#ifndef PINGPONG_H
#define PINGPONG_H

#include "Samples.h"

/// The machine's limit for one request and its answer: two plain blocking
/// loopback sockets in two threads of this process, one sending
/// `requestBytes` and waiting for `answerBytes` back, the other answering as
/// soon as a whole request is in. No protocol, no storage, no library.
///
/// Where the two threads run decides the figure: on one core a round trip is
/// two switches between threads; on two cores each message wakes the other
/// core, which on a virtual machine whose cores sleep when idle costs far
/// more. Both are measured, each with the threads pinned accordingly.
class PingPong
{
public:
    enum Placement
    {
        SameCore,
        TwoCores,
    };

    /// Empty samples when the placement is impossible (one usable core).
    static Samples run(Placement placement, int requestBytes, int answerBytes, int maxCalls,
                       int maxMs);
};

#endif // PINGPONG_H
