#ifndef LOOPBACKSTREAM_H
#define LOOPBACKSTREAM_H

#include <QtGlobal>

/// Raw loopback throughput: one thread writes `bytes` in 64 KiB pieces into a
/// plain socket, another reads and drops them. The figure a file transfer of
/// the same size is held against.
class LoopbackStream
{
public:
    /// Megabytes (10^6 bytes) per second from the first write to the last
    /// byte read; 0 when the transfer failed.
    static double megabytesPerSecond(qint64 bytes);
};

#endif // LOOPBACKSTREAM_H
