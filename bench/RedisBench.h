#ifndef REDISBENCH_H
#define REDISBENCH_H

#include "Samples.h"

#include <QString>

struct redisContext;

/// The yardstick for our round trips: SET and GET against a private
/// redis-server on 127.0.0.1, through hiredis' synchronous redisCommand on one
/// connection, timed by the same loop as every other figure. Built without
/// hiredis (no libhiredis-dev) it measures nothing and says why.
class RedisBench
{
public:
    /// Connects to 127.0.0.1:`port`; a port of 0 means no server was started.
    explicit RedisBench(int port);
    ~RedisBench();
    RedisBench(const RedisBench &) = delete;
    RedisBench &operator=(const RedisBench &) = delete;

    bool isConnected() const { return m_context != nullptr; }
    /// Why there are no Redis figures ("not measured: ..."); empty when connected.
    QString unavailableReason() const { return m_reason; }

    /// SET of a new integer each call, `maxCalls` times or for `maxMs`.
    Samples set(int maxCalls, int maxMs);
    /// GET of a stored integer, checked, `maxCalls` times or for `maxMs`.
    Samples get(int maxCalls, int maxMs);

private:
    redisContext *m_context = nullptr;
    QString m_reason;
    int m_counter = 0;
};

#endif // REDISBENCH_H
