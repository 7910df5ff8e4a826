#ifndef TERMINATIONWATCHER_H
#define TERMINATIONWATCHER_H

#include <QObject>

class QSocketNotifier;

/// Turns SIGINT and SIGTERM into a Qt signal delivered by the event loop. The
/// handler only writes a byte into a socket pair, the one thing that is safe
/// inside a signal handler; the loop reads it and shuts down in ordinary code.
class TerminationWatcher : public QObject
{
    Q_OBJECT

public:
    explicit TerminationWatcher(QObject *parent = nullptr);
    ~TerminationWatcher() override;

    /// False when the handlers could not be installed.
    bool isActive() const { return m_notifier != nullptr; }

signals:
    void terminationRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};

#endif // TERMINATIONWATCHER_H
