#ifndef APIBENCH_H
#define APIBENCH_H

#include "Samples.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

class BasicPackage;
class VelDataClient;

/// The synchronous calls of the public API that the report times, each with
/// the frame the library puts on the wire for it, so that the same request can
/// be timed through a plain socket against the same server.
class ApiBench
{
public:
    struct Operation
    {
        QString name;
        /// One call through the public API; false when it failed.
        std::function<bool()> call;
        /// The request frame the library sends for it; empty when the call is
        /// answered without the server.
        QByteArray frame;
        /// Fewer calls for the large requests.
        bool bulk = false;
    };

    explicit ApiBench(VelDataClient *client);

    /// Connects the client and stores the values the getters read; false when
    /// the server does not answer.
    bool prepare(QString *error);
    QVector<Operation> operations() const;

    /// The request frames of setInt and getInt, for callers and baselines.
    static QByteArray setIntFrame(const QString &key, const QString &uuid, int value);
    static QByteArray getFrame(const QString &key, const QString &uuid);

    /// The values of setString and setStringList.
    static QString text1KiB();
    static QStringList list1000();

private:
    VelDataClient *m_client;
};

#endif // APIBENCH_H
