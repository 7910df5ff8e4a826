#ifndef CLIENTHARNESS_H
#define CLIENTHARNESS_H

#include "Identifier.h"
#include "PreProcessor.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QThread>

#include <functional>

/// A PreProcessor on a worker thread of its own, as the client library runs
/// it, so that its blocking waits never stall the fake server on the test's
/// thread. Work is posted to the worker as queued calls; what the
/// PreProcessor emits arrives queued on the test's thread and is recorded.
class ClientHarness : public QObject
{
    Q_OBJECT

public:
    ClientHarness(const QString &host, int port);
    ~ClientHarness() override;

    PreProcessor &client() { return *m_client; }

    /// Runs `work` on the worker thread and returns at once.
    void post(std::function<void(PreProcessor &)> work);

    /// Waits for dataFinished of `id`; its result code, or 0 when none came.
    int waitFinished(int id, int timeoutMs = 5000);
    /// Result codes emitted for `id` so far.
    QList<int> finished(int id) const;
    QList<QPair<int, int>> allFinished() const { return m_finished; }
    QList<Identifier> autoUpdates() const { return m_autoUpdates; }

private:
    QThread m_thread;
    PreProcessor *m_client;
    QList<QPair<int, int>> m_finished;
    QList<Identifier> m_autoUpdates;
};

#endif // CLIENTHARNESS_H
