#include "ApiBench.h"
#include "FrameBytes.h"

#include "ActionPackage.h"
#include "IdentDataRuntime.h"
#include "IntPackage.h"
#include "StringListPackage.h"
#include "StringPackage.h"
#include "VelDataClient.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>

namespace {

const QString Key = QStringLiteral("bench");
const QString GlobalKey = QStringLiteral("benchGlobal");

} // namespace

ApiBench::ApiBench(VelDataClient *client) : m_client(client) {}

QString ApiBench::text1KiB()
{
    return QString(1024, QLatin1Char('t'));
}

QStringList ApiBench::list1000()
{
    QStringList list;
    list.reserve(1000);
    for (int i = 0; i < 1000; ++i)
        list.append(QStringLiteral("item %1").arg(i, 4, 10, QLatin1Char('0')));
    return list;
}

QByteArray ApiBench::setIntFrame(const QString &key, const QString &uuid, int value)
{
    return FrameBytes::encode(IntPackage(1, new IdentDataRuntime(key, uuid), value));
}

QByteArray ApiBench::getFrame(const QString &key, const QString &uuid)
{
    return FrameBytes::encode(ActionPackage(1, new IdentDataRuntime(key, uuid), 1));
}

bool ApiBench::prepare(QString *error)
{
    if (!m_client->setInt(Key, QStringLiteral("getInt"), 42) ||
        !m_client->setGlobalsInt(GlobalKey, 7)) {
        *error = QStringLiteral("the server does not answer: ") + m_client->lastError();
        return false;
    }
    // The server pushes a stored globals value to every identified client; it
    // is read from the cache once it has arrived.
    QElapsedTimer timer;
    timer.start();
    int value = 0;
    while (m_client->getGlobalsInt(GlobalKey, &value) != 1) {
        if (timer.elapsed() > 5000) {
            *error = QStringLiteral("the globals value never reached the cache");
            return false;
        }
        QCoreApplication::processEvents();
    }
    return true;
}

QVector<ApiBench::Operation> ApiBench::operations() const
{
    VelDataClient *client = m_client;
    // Each setter stores a different value every call, as an application would.
    auto counter = std::make_shared<int>(0);
    const QString text = text1KiB();
    const QStringList list = list1000();

    QVector<Operation> ops;
    ops.append(
        {QStringLiteral("setInt"),
         [client, counter] { return client->setInt(Key, QStringLiteral("setInt"), ++*counter); },
         setIntFrame(Key, QStringLiteral("setInt"), 1), false});
    ops.append({QStringLiteral("getInt"),
                [client] {
                    int value = 0;
                    return client->getInt(Key, QStringLiteral("getInt"), &value) == 1 &&
                           value == 42;
                },
                getFrame(Key, QStringLiteral("getInt")), false});
    ops.append({QStringLiteral("getGlobalsInt (cache)"),
                [client] {
                    int value = 0;
                    return client->getGlobalsInt(GlobalKey, &value) == 1 && value == 7;
                },
                QByteArray(), false});
    ops.append(
        {QStringLiteral("setString 1 KiB"),
         [client, text] { return client->setString(Key, QStringLiteral("setString"), text); },
         FrameBytes::encode(
             StringPackage(1, new IdentDataRuntime(Key, QStringLiteral("setString")), text)),
         false});
    ops.append({QStringLiteral("setStringList 1000"),
                [client, list] {
                    return client->setStringList(Key, QStringLiteral("setStringList"), list);
                },
                FrameBytes::encode(StringListPackage(
                    1, new IdentDataRuntime(Key, QStringLiteral("setStringList")), list)),
                true});
    return ops;
}
