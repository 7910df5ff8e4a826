#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVariant>

#include <functional>

/// Helpers every test folder shares: the sandbox a test runs in, the settings
/// file the client and the server read, free ports, and expected frames
/// written as hex.
namespace TestSupport {

/// Whether ctest gave this program its own TMPDIR and settings folder.
bool inSandbox();
/// Replaces the [Settings] section of the machine-wide settings file.
void writeSettings(const QMap<QString, QVariant> &values);
/// A loopback port that nothing listens on at the moment, or 0.
quint16 freePort();

// Expected bytes are written as hex with blanks between fields for the
// reader; the blanks carry no meaning.
QString plain(QString hex);
QByteArray bytes(const QString &hex);
QString hex(const QByteArray &data);
/// A QString field: length word and UTF-16BE text; a null string is ffffffff.
QString text(const QString &value);
/// A frame header: type, package id, payload size.
QString header(int type, int packageId, qint64 payloadSize);
/// A header with the payload size counted from `payloadHex`, then the payload.
QString frame(int type, int packageId, const QString &payloadHex);

} // namespace TestSupport

#endif // TESTSUPPORT_H
