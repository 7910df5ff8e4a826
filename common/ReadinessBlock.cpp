#include "ReadinessBlock.h"

#include "VdsProtocol.h"

#include <QCoreApplication>

QString ReadinessBlock::key()
{
    return QLatin1String(VdsProtocol::ReadinessKey);
}

namespace {

// Room for "pid <n>, port <n>" and its terminating zero.
constexpr int BlockSize = 64;

/// Attaches to the block (when it exists), reads what it says and detaches;
/// detaching the last attachment removes a System V segment, so a block
/// that no running server holds is gone afterwards.
bool probe(QString *text)
{
    QSharedMemory block(ReadinessBlock::key());
    if (!block.attach(QSharedMemory::ReadOnly))
        return false;
    const auto *data = static_cast<const char *>(block.constData());
    if (text)
        *text = QString::fromLatin1(data, int(qstrnlen(data, uint(qMin(block.size(), BlockSize)))));
    block.detach();
    return true;
}

QString refusal(const QString &who)
{
    return who.startsWith(QLatin1String("pid "))
               ? QStringLiteral("another VelDataServer is already running (%1)").arg(who)
               : QStringLiteral("another VelDataServer is already running (its readiness "
                                "block \"%1\" exists)")
                     .arg(ReadinessBlock::key());
}

} // namespace

bool ReadinessBlock::heldByRunningServer(QString *message)
{
    QString text;
    // The second look tells a live holder from an orphan the first removed.
    if (!probe(&text) || !probe(nullptr))
        return false;
    *message = refusal(text);
    return true;
}

QString ReadinessBlock::runningServer()
{
    QString text;
    return probe(&text) && probe(nullptr) ? text : QString();
}

bool ReadinessBlock::create(quint16 port, QString *error)
{
    probe(nullptr);
    if (m_block.create(BlockSize)) {
        const QByteArray text = QStringLiteral("pid %1, port %2")
                                    .arg(QCoreApplication::applicationPid())
                                    .arg(port)
                                    .toLatin1();
        qstrncpy(static_cast<char *>(m_block.data()), text.constData(), BlockSize);
        return true;
    }
    QString who;
    if (m_block.error() == QSharedMemory::AlreadyExists) {
        probe(&who);
        *error = refusal(who);
    } else {
        *error = QStringLiteral("cannot create the readiness block \"%1\": %2")
                     .arg(key(), m_block.errorString());
    }
    return false;
}

void ReadinessBlock::release()
{
    if (m_block.isAttached())
        m_block.detach();
}
