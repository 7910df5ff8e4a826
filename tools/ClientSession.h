#ifndef CLIENTSESSION_H
#define CLIENTSESSION_H

#include "TypedValue.h"
#include "ValueName.h"

#include <VelDataClient.h>

#include <QString>
#include <QStringList>

/// The operations of vdsctl on one VelDataClient, each returning an exit code
/// (ExitCode) and, when it is not ExitOk, a one-line reason in errorText().
///
/// The library reports failures as false or -1 plus a last-error text; this
/// class turns that text into the exit code a script can branch on.
class ClientSession
{
public:
    VelDataClient &client() { return m_client; }
    const QString &errorText() const { return m_error; }
    /// Whether the last get() or type() failed because there is no such value.
    bool missing() const { return m_missing; }

    int set(const ValueName &name, const TypedValue &value);
    /// Reads a value in its own type; a file value comes back as type File
    /// without content.
    int get(const ValueName &name, TypedValue *value);
    int type(const ValueName &name, TypedValue::Type *type);
    int remove(const ValueName &name);
    int putFile(const ValueName &name, const QString &path);
    /// Fetches a file value into `directory`, under the name the server gives.
    int getFile(const ValueName &name, const QString &directory);
    /// Sends a command, and returns once the server has received it.
    int command(const QString &command, const QStringList &parameters);
    /// Reports a status text, and returns once the server has received it.
    int status(const QString &text);
    /// Switches change notifications on for a runtime value.
    void watch(const ValueName &name);
    /// One answered request: the server has then handled everything sent
    /// before it, and has pushed its globals values to this client.
    int confirm();

    /// The exit code for the kind of the library's last failure.
    static int exitCodeFor(VdsErrorCode code);

private:
    int failed();
    /// Where a server started without --data-dir or --log-file keeps its log.
    static QString defaultServerLog();
    int fail(int exitCode, const QString &text);
    int notFound(const ValueName &name);
    int getRuntime(const ValueName &name, TypedValue::Type type, TypedValue *value);
    int getByKind(const ValueName &name, TypedValue *value);

    VelDataClient m_client;
    QString m_error;
    bool m_missing = false;
};

#endif // CLIENTSESSION_H
