#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QByteArray>
#include <QMap>
#include <QString>

#include <functional>

class QSslCertificate;
class QSslKey;

/// Helpers shared by the connection tests: the sandbox they run in, the
/// settings file the client reads, throw-away TLS certificates, and expected
/// frames written as hex.
namespace conn {

/// Whether ctest gave this program its own TMPDIR and settings folder.
bool inSandbox();
/// Replaces the [Settings] section of the machine-wide settings file.
void writeSettings(const QMap<QString, QString> &values);
/// A self-signed certificate for localhost and 127.0.0.1, made by the openssl
/// program in `dir`; false with `error` set when that is not possible.
bool makeCertificate(const QString &dir, QSslCertificate *certificate, QSslKey *key,
                     QString *error);

/// Runs the event loop until `condition` holds or `timeoutMs` have passed.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000);

// Expected bytes are hex with blanks between fields for the reader.
QByteArray bytes(QString hex);
QString hex(const QByteArray &data);
/// A QString field: length word and UTF-16BE text; a null string is ffffffff.
QString text(const QString &value);
/// A header with the payload size counted from `payloadHex`, then the payload.
QString frame(int type, int packageId, const QString &payloadHex);

} // namespace conn

#endif // TESTSUPPORT_H
