#ifndef READINESSBLOCK_H
#define READINESSBLOCK_H

#include <QSharedMemory>
#include <QString>

/// The named shared-memory block whose existence tells clients that a server
/// is ready. A server killed without cleaning up leaves its block behind on
/// systems where shared memory outlives processes; that stale block is removed
/// before a new one is made, while a block another running server holds makes
/// creation fail.
class ReadinessBlock
{
public:
    static QString key();

    /// When a running server holds the block: true, with `message` refusing a
    /// second one and naming the first by the pid and port its block tells.
    /// A block left by a killed server is removed on the way.
    static bool heldByRunningServer(QString *message);
    /// What the block of a running server tells ("pid <n>, port <n>"), or an
    /// empty text when no server is ready.
    static QString runningServer();
    /// Creates the block, which tells this process's id and `port`; false
    /// with `error` set when another server holds it.
    bool create(quint16 port, QString *error);
    void release();

private:
    QSharedMemory m_block{key()};
};

#endif // READINESSBLOCK_H
