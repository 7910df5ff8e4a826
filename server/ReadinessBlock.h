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

    /// Creates the block; false with `error` set when another server holds it.
    bool create(QString *error);
    void release();

private:
    QSharedMemory m_block{key()};
};

#endif // READINESSBLOCK_H
