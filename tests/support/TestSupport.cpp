#include "TestSupport.h"

#include <QDir>
#include <QSettings>
#include <QTcpServer>

namespace TestSupport {

bool inSandbox()
{
    return qEnvironmentVariableIsSet("VDS_TEST_SANDBOX") &&
           qEnvironmentVariableIsSet("XDG_CONFIG_DIRS") && qEnvironmentVariableIsSet("TMPDIR");
}

void writeSettings(const QMap<QString, QVariant> &values)
{
    const QString folder = qEnvironmentVariable("XDG_CONFIG_DIRS").split(QLatin1Char(':')).first();
    QDir().mkpath(folder + QStringLiteral("/Haltra"));
    // Written through QSettings so that the client's own QSettings, which
    // shares the parsed file per path, sees the change at once.
    QSettings settings(folder + QStringLiteral("/Haltra/VelDataServer.conf"), QSettings::IniFormat);
    settings.clear();
    settings.beginGroup(QStringLiteral("Settings"));
    for (auto it = values.begin(); it != values.end(); ++it)
        settings.setValue(it.key(), it.value());
    settings.endGroup();
    settings.sync();
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

QString plain(QString hex)
{
    return hex.remove(QLatin1Char(' '));
}

QByteArray bytes(const QString &hex)
{
    return QByteArray::fromHex(plain(hex).toLatin1());
}

QString hex(const QByteArray &data)
{
    return QString::fromLatin1(data.toHex());
}

QString text(const QString &value)
{
    if (value.isNull())
        return QStringLiteral("ffffffff ");
    QString result = QString::asprintf("%08x ", unsigned(value.size() * 2));
    for (const QChar c : value)
        result += QString::asprintf("%04x", unsigned(c.unicode()));
    return result + QLatin1Char(' ');
}

QString header(int type, int packageId, qint64 payloadSize)
{
    return QString::asprintf("%08x %08x %016llx ", unsigned(type), unsigned(packageId),
                             static_cast<unsigned long long>(payloadSize));
}

QString frame(int type, int packageId, const QString &payloadHex)
{
    return header(type, packageId, bytes(payloadHex).size()) + payloadHex;
}

} // namespace TestSupport
