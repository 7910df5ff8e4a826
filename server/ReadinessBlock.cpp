#include "ReadinessBlock.h"

QString ReadinessBlock::key()
{
    return QStringLiteral("VelDataServer-Ready");
}

bool ReadinessBlock::create(QString *error)
{
    {
        // Detaching the last attachment removes a System V segment, so an
        // attach and detach removes an orphaned block and leaves one that a
        // live server holds.
        QSharedMemory probe(key());
        if (probe.attach(QSharedMemory::ReadOnly))
            probe.detach();
    }
    if (m_block.create(1))
        return true;
    *error = m_block.error() == QSharedMemory::AlreadyExists
                 ? QStringLiteral("another VelDataServer is already running (its readiness "
                                  "block \"%1\" exists)")
                       .arg(key())
                 : QStringLiteral("cannot create the readiness block \"%1\": %2")
                       .arg(key(), m_block.errorString());
    return false;
}

void ReadinessBlock::release()
{
    if (m_block.isAttached())
        m_block.detach();
}
