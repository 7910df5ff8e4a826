#ifndef VELDATACLIENT_H
#define VELDATACLIENT_H

#include "VdsTypes.h"
#include "veldataclient_export.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

class ThreadedClientHandler;
class VelDataClientPrivate;

/// Client of the local VelDataServer: stores, reads, removes and watches named
/// values over one connection to localhost.
///
/// Promises:
/// - Every call is synchronous and bounded: 5 s for a request (20 s for
///   getFile), plus up to about 10 s when the call has to start the server.
/// - One client object per thread: a client is used from the thread that
///   created it; several clients may work in parallel, each on its own thread.
/// - The connection is made on first use and made again on the next request
///   after the server restarted.
/// - With encryption configured, TLS is used without certificate verification.
///
/// Setters return true on success. Getters return 1 when a value was
/// delivered into `*value`, 0 when none was delivered, -1 when the request
/// failed or went unanswered; `*value` is left unchanged unless a value is
/// delivered. lastError() tells why the last call failed, lastErrorCode() what
/// kind of failure that was.
///
/// A value is named by a key and a uuid (runtime values), by a key alone
/// (globals), or by an identifier kind and a key (OPC UA, MQTT).
class VELDATACLIENT_EXPORT VelDataClient : public QObject
{
    Q_OBJECT

public:
    /// Called once per change notification with the value's kind
    /// ("runtime", "globals", "opcua", "mqtt"), key and uuid (empty unless
    /// runtime).
    using AutoUpdateCallback =
        std::function<void(const QString &kind, const QString &key, const QString &uuid)>;

    VelDataClient();
    ~VelDataClient() override;

    /// Connects (starting the server when allowed) and waits up to 5 s for
    /// the server to acknowledge this client. Always true; failures show in
    /// the following requests.
    bool establishConnection();
    /// Starts VelDataServer unless it is already ready, and waits up to
    /// about 10 s for it to become ready. False at once, with lastError()
    /// naming the places looked in, when no VelDataServer program is found,
    /// or when it cannot be started; true otherwise.
    bool startServer();
    /// Reports a status text to the server; does not wait.
    void setStatus(const QString &value);
    /// Milliseconds the last answered request took, 0 before any.
    qint64 getLastDuration();
    /// Text of the last failure: "No connection to server possible",
    /// "Timeout reached", or the server's or connection's own message.
    QString lastError();
    /// The kind of the last failure; changes whenever lastError() does, and
    /// besides to VdsErrorNotFound when the server reports no such value and
    /// to VdsErrorBadArgument when a call refuses a null output pointer
    /// (lastError() keeps its text in those two cases). VdsErrorNone until
    /// then.
    VdsErrorCode lastErrorCode() const;
    /// The package id the next request will carry (1 ... 2147483646, then 1).
    int nextPackageId();
    /// The type of the runtime value key/uuid; VdsTypeUnknown when it does
    /// not exist or the request failed.
    VdsDataType getDataType(const QString &key, const QString &uuid);

    /// Runs `callback` on this client's thread, through its event loop (also
    /// while a call of this client waits), once per change notification from
    /// the server: changes of values watched with autoUpdate(), and globals
    /// that the server reports removed. The callback may call this client
    /// again.
    void setAutoUpdateCallback(AutoUpdateCallback callback);

    // Runtime values
    bool setString(const QString &key, const QString &uuid, const QString &value);
    bool setString(const QString &key, const QString &value);
    bool setDouble(const QString &key, const QString &uuid, double value);
    bool setDouble(const QString &key, double value);
    bool setInt(const QString &key, const QString &uuid, int value);
    bool setInt(const QString &key, int value);
    bool setBool(const QString &key, const QString &uuid, bool value);
    bool setBool(const QString &key, bool value);
    bool setStringList(const QString &key, const QString &uuid, const QStringList &value);
    bool setStringList(const QString &key, const QStringList &value);
    bool setDoubleList(const QString &key, const QString &uuid, const QList<double> &value);
    bool setDoubleList(const QString &key, const QList<double> &value);
    bool setIntList(const QString &key, const QString &uuid, const QList<int> &value);
    bool setIntList(const QString &key, const QList<int> &value);
    bool setVariant(const QString &key, const QString &uuid, const QVariant &value);
    bool setVariant(const QString &key, const QVariant &value);
    /// Sends the local file `fileName` to the server.
    bool setFile(const QString &key, QString &uuid, const QString &fileName);
    bool setFile(const QString &key, const QString &uuid, const QString &fileName);
    bool setFile(const QString &key, const QString &fileName);
    bool removeValue(const QString &key, const QString &uuid);

    int getString(const QString &key, const QString &uuid, QString *value);
    int getString(const QString &key, QString *value);
    int getDouble(const QString &key, const QString &uuid, double *value);
    int getDouble(const QString &key, double *value);
    int getInt(const QString &key, const QString &uuid, int *value);
    int getInt(const QString &key, int *value);
    int getBool(const QString &key, const QString &uuid, bool *value);
    int getBool(const QString &key, bool *value);
    int getStringList(const QString &key, const QString &uuid, QStringList *value);
    int getStringList(const QString &key, QStringList *value);
    int getDoubleList(const QString &key, const QString &uuid, QList<double> *value);
    int getDoubleList(const QString &key, QList<double> *value);
    int getIntList(const QString &key, const QString &uuid, QList<int> *value);
    int getIntList(const QString &key, QList<int> *value);
    int getVariant(const QString &key, const QString &uuid, QVariant *value);
    int getVariant(const QString &key, QVariant *value);
    /// Fetches a file value into the directory `fileName`, under the name the
    /// server gives it (a name that would leave the directory is refused).
    /// An existing file of that name is written through, never replaced: a
    /// regular file is truncated, a device or a FIFO with a reader takes the
    /// content; a symbolic link and a FIFO nobody reads are refused. Returns
    /// 1 or -1; when the file cannot be saved, lastError() says why ("Cannot
    /// save the file: ...", also for a full disk or device).
    int getFile(const QString &key, QString &uuid, const QString &fileName);
    int getFile(const QString &key, const QString &uuid, const QString &fileName);
    int getFile(const QString &key, const QString &fileName);

    /// Switches change notifications for a value on or off; does not wait.
    void autoUpdate(const QString &key, const QString &uuid, bool enable);
    void autoUpdate(const QString &key, bool enable);
    /// Sends a free-form command; does not wait. Always true.
    bool sendCommand(const QString &cmd, const QStringList &params);

    // Globals: served from this client's cache, which the server keeps filled.
    bool setGlobalsString(const QString &key, const QString &value);
    bool setGlobalsDouble(const QString &key, double value);
    bool setGlobalsInt(const QString &key, int value);
    /// Sent as an int, a double or a string, by the variant's own type.
    bool setGlobalsVariant(const QString &key, const QVariant &value);
    bool removeGlobals(const QString &key);
    int getGlobalsString(const QString &key, QString *value);
    int getGlobalsDouble(const QString &key, double *value);
    int getGlobalsInt(const QString &key, int *value);
    int getGlobalsVariant(const QString &key, QVariant *value);

    // OPC UA and MQTT values, by kind
    bool setString(VDS_IDENT_CONSTS kind, const QString &key, const QString &value);
    bool setDouble(VDS_IDENT_CONSTS kind, const QString &key, double value);
    bool setInt(VDS_IDENT_CONSTS kind, const QString &key, int value);
    int getString(VDS_IDENT_CONSTS kind, const QString &key, QString *value);
    int getDouble(VDS_IDENT_CONSTS kind, const QString &key, double *value);
    int getInt(VDS_IDENT_CONSTS kind, const QString &key, int *value);

private:
    Q_DISABLE_COPY(VelDataClient)
    friend class VelDataClientPrivate;
    ThreadedClientHandler *handler();

    ThreadedClientHandler *m_handler = nullptr;
    int m_packageIdCounter = 1;
    // Everything else, so that it can change without changing this class.
    VelDataClientPrivate *const d;
};

#endif // VELDATACLIENT_H
