#ifndef DATASERVER_H
#define DATASERVER_H

#include "BasicPackage.h"
#include "ServerSettings.h"
#include "ValueStore.h"

#include <QList>
#include <QObject>
#include <QTimer>

class ClientConnection;
class DataPackage;
class IdentData;
class IncomingFile;
class SslServer;

/// The server's side of the protocol: listens on the loopback addresses,
/// answers every request of every connection under the request's package id,
/// keeps values in the store, and tells other connections about changes:
/// change notifications to the subscribers of a value, and globals values
/// pushed to every identified connection, since clients never ask for those.
/// Changes that arrive in the same event-loop pass, from any connection, are
/// committed together at its end; until then every connection is held, so
/// that no answer, notification or read reaches a client before what it
/// speaks of is durable, and each connection's answers stay in order.
class DataServer : public QObject
{
    Q_OBJECT

public:
    explicit DataServer(const ServerSettings &settings, QObject *parent = nullptr);
    ~DataServer() override;

    /// Opens the store, prepares TLS if configured and listens on 127.0.0.1
    /// and ::1 at the same port.
    bool start(QString *error);
    quint16 port() const { return m_port; }
    /// The TLS certificate's fingerprint (TlsIdentity::fingerprint), empty
    /// without TLS.
    QByteArray tlsFingerprint() const { return m_tlsFingerprint; }
    /// Forgets every stored value, as a server started afresh on an empty
    /// store would hold none; a file being sent is still sent whole. The fuzz
    /// target's server starts every input this way, so that no input depends
    /// on those before it and the store does not grow input after input.
    bool clearValues(QString *error);
    /// Stops listening, closes every connection and the store.
    void shutdown();

private:
    bool listen(QString *error);
    /// After a change: holds every connection and commits in the next pass.
    void changed();
    /// Commits the pending changes and releases the held connections.
    void flush();
    /// Before the event loop waits: commits, and sends every answer.
    void beforeWaiting();
    void accept(SslServer *listener);
    void handle(ClientConnection *client, const BasicPackagePtr &package);
    void identify(ClientConnection *client, const BasicPackage &package);
    void setValue(ClientConnection *client, const DataPackage &package, IncomingFile *content);
    void act(ClientConnection *client, const DataPackage &package, int action);
    void subscribe(ClientConnection *client, const DataPackage &package, int mode);
    void command(ClientConnection *client, const BasicPackage &package);
    void answer(ClientConnection *client, int packageId, int code,
                const QString &message = QString());
    /// Tells the other connections that `ident` changed: `value` is the new
    /// value, or null after a removal.
    void announceChange(const IdentData &ident, const ValueStore::Entry *value);
    /// Sends `frame`, a file's followed by its content; false when that
    /// content cannot be read, and nothing is sent.
    bool deliver(ClientConnection *client, const QByteArray &frame, const ValueStore::Entry &entry);
    static QByteArray frameOf(const ValueStore::Entry &entry, int packageId);

    ServerSettings m_settings;
    ValueStore m_store;
    QList<SslServer *> m_listeners;
    QList<ClientConnection *> m_clients;
    quint16 m_port = 0;
    QByteArray m_tlsFingerprint;
    int m_nextNumber = 1;
    bool m_flushScheduled = false;
    QTimer m_flushTimer;
};

#endif // DATASERVER_H
