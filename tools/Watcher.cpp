#include "Watcher.h"

#include "ClientSession.h"
#include "ExitCode.h"
#include "Output.h"
#include "TerminationWatcher.h"

#include <QTimer>

Watcher::Watcher(ClientSession &session, const Output &output, const QList<ValueName> &names)
    : m_session(session), m_output(output), m_names(names)
{}

int Watcher::run()
{
    // Installed first, so that an interrupt while connecting also ends cleanly.
    TerminationWatcher termination;
    QObject::connect(&termination, &TerminationWatcher::terminationRequested, &m_loop,
                     [this] { finish(ExitOk); });
    m_session.client().setAutoUpdateCallback(
        [this](const QString &kind, const QString &key, const QString &uuid) {
            changed(kind, key, uuid);
        });
    subscribe();
    if (m_verbose && !m_finished) {
        QStringList shown;
        for (const ValueName &name : m_names)
            shown.append(name.display());
        Output::note(QStringLiteral("watching %1").arg(shown.join(QStringLiteral(", "))));
    }
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &m_loop, [this] { timedOut(); });
    if (m_timeoutMs > 0)
        timeout.start(m_timeoutMs);
    QTimer keepAlive;
    QObject::connect(&keepAlive, &QTimer::timeout, &m_loop, [this] {
        if (!m_reading && !m_subscribing)
            subscribe();
    });
    keepAlive.start(KeepAliveMs);
    if (!m_finished)
        m_loop.exec();
    // The callback refers to this object, which is about to go.
    m_session.client().setAutoUpdateCallback(nullptr);
    return m_exitCode;
}

void Watcher::subscribe()
{
    m_subscribing = true;
    // The server forgets the subscriptions of a connection that ends, and the
    // library connects anew on the next request (to a restarted server, for
    // instance) without telling; switching them on again costs nothing while
    // the server still has them.
    for (const ValueName &name : m_names)
        m_session.watch(name);
    // Switching notifications on is not answered; an answered request behind
    // it shows that the server follows the values, and that it is still there.
    const int code = m_session.confirm();
    if (code != ExitOk)
        finish(code, m_session.errorText());
    m_subscribing = false;
}

void Watcher::changed(const QString &kind, const QString &key, const QString &uuid)
{
    for (const ValueName &name : m_names) {
        if (name.matches(kind, key, uuid)) {
            m_pending.enqueue(name);
            break;
        }
    }
    // The callback also runs while a read below waits for its answer; that
    // change is queued and read once the current read is done.
    if (!m_reading)
        readPending();
}

void Watcher::readPending()
{
    m_reading = true;
    while (!m_finished && !m_pending.isEmpty()) {
        const ValueName name = m_pending.dequeue();
        TypedValue value;
        const int code = m_session.get(name, &value);
        if (code == ExitOk) {
            m_output.change(name, &value);
        } else if (m_session.missing()) {
            m_output.change(name, nullptr);
        } else {
            finish(code, m_session.errorText());
            break;
        }
        if (m_count > 0 && ++m_seen >= m_count)
            finish(ExitOk);
    }
    m_reading = false;
}

void Watcher::timedOut()
{
    if (m_count > 0 && m_seen < m_count)
        finish(ExitTimeout,
               QStringLiteral("time-out after %1 of %2 changes").arg(m_seen).arg(m_count));
    else
        finish(ExitOk);
}

void Watcher::finish(int exitCode, const QString &error)
{
    if (m_finished)
        return;
    m_finished = true;
    m_exitCode = exitCode;
    if (!error.isEmpty())
        Output::error(error);
    m_loop.exit();
}
