#include "RedisBench.h"

#ifdef VDS_HAVE_HIREDIS
#include <hiredis/hiredis.h>
#endif

#include <cstring>

#ifdef VDS_HAVE_HIREDIS

namespace {

// The same key names as our own set and get, so neither side gets shorter frames.
const char SetKey[] = "bench:setInt";
const char GetKey[] = "bench:getInt";

/// One command and its reply; true when the reply is what `expected` says
/// (a status "OK" for SET, the string "42" for GET).
bool command(redisContext *context, const char *expected, const char *format, const char *key,
             int value)
{
    auto *reply = static_cast<redisReply *>(value < 0 ? redisCommand(context, format, key)
                                                      : redisCommand(context, format, key, value));
    if (!reply)
        return false;
    const bool ok = (reply->type == REDIS_REPLY_STATUS || reply->type == REDIS_REPLY_STRING) &&
                    std::strcmp(reply->str, expected) == 0;
    freeReplyObject(reply);
    return ok;
}

} // namespace

RedisBench::RedisBench(int port)
{
    if (port <= 0) {
        m_reason = QStringLiteral("not measured: no redis-server was started");
        return;
    }
    const timeval timeout{10, 0};
    redisContext *context = redisConnectWithTimeout("127.0.0.1", port, timeout);
    if (!context || context->err) {
        m_reason = QStringLiteral("not measured: cannot connect to redis-server on port %1: %2")
                       .arg(port)
                       .arg(context ? QString::fromLocal8Bit(context->errstr)
                                    : QStringLiteral("out of memory"));
        if (context)
            redisFree(context);
        return;
    }
    // A benchmark never hangs on a server that went away.
    redisSetTimeout(context, timeout);
    m_context = context;
    if (!command(m_context, "OK", "SET %s %d", GetKey, 42)) {
        m_reason = QStringLiteral("not measured: redis-server does not take a SET");
        redisFree(m_context);
        m_context = nullptr;
    }
}

RedisBench::~RedisBench()
{
    if (m_context)
        redisFree(m_context);
}

Samples RedisBench::set(int maxCalls, int maxMs)
{
    if (!m_context)
        return Samples();
    return Samples::run(maxCalls, maxMs, [this] {
        return command(m_context, "OK", "SET %s %d", SetKey, ++m_counter);
    });
}

Samples RedisBench::get(int maxCalls, int maxMs)
{
    if (!m_context)
        return Samples();
    return Samples::run(maxCalls, maxMs,
                        [this] { return command(m_context, "42", "GET %s", GetKey, -1); });
}

#else

RedisBench::RedisBench(int) : m_reason(QStringLiteral("not measured: libhiredis-dev missing")) {}

RedisBench::~RedisBench() = default;

Samples RedisBench::set(int, int)
{
    return Samples();
}

Samples RedisBench::get(int, int)
{
    return Samples();
}

#endif
