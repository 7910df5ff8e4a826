#ifndef WATCHER_H
#define WATCHER_H

#include "ValueName.h"

#include <QEventLoop>
#include <QList>
#include <QQueue>

class ClientSession;
class Output;

/// The watch command: switches change notifications on for runtime values,
/// then prints one line per change with the value read anew, until SIGINT or
/// SIGTERM, a number of changes, or a time limit ends it.
class Watcher
{
public:
    Watcher(ClientSession &session, const Output &output, const QList<ValueName> &names);

    void setCount(int count) { m_count = count; }
    void setTimeout(int timeoutMs) { m_timeoutMs = timeoutMs; }
    /// Say on standard error once the server follows the values.
    void setVerbose(bool verbose) { m_verbose = verbose; }

    /// Runs the watch; the result is the exit code.
    int run();

private:
    /// How often the subscriptions are renewed, and the server's presence
    /// checked: a watch whose server went away ends instead of waiting on.
    static constexpr int KeepAliveMs = 2000;

    void subscribe();
    void changed(const QString &kind, const QString &key, const QString &uuid);
    void readPending();
    void timedOut();
    void finish(int exitCode, const QString &error = QString());

    ClientSession &m_session;
    const Output &m_output;
    QList<ValueName> m_names;
    int m_count = 0;
    int m_timeoutMs = 0;
    bool m_verbose = false;

    QEventLoop m_loop;
    QQueue<ValueName> m_pending;
    bool m_reading = false;
    bool m_subscribing = false;
    bool m_finished = false;
    int m_seen = 0;
    int m_exitCode = 0;
};

#endif // WATCHER_H
