#ifndef SCRIPTEDSERVER_H
#define SCRIPTEDSERVER_H

#include "BasicPackage.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSharedMemory>
#include <QString>
#include <QVariant>

#include <functional>

class QTcpServer;
class QTcpSocket;
class QThread;

/// A stand-in for VelDataServer on a thread of its own, so that a client under
/// test may block its thread (as it does while it connects) and still be
/// answered. It listens on a free loopback port, creates the readiness block
/// unless told not to, records every frame it receives with its raw bytes, and
/// answers each through a replaceable script. Bytes that are no frame of the
/// protocol (a TLS handshake, for example) make it drop that connection, as a
/// real server would.
///
/// The default script behaves like a small data server: INIT gets code 6, a
/// value package is stored and gets code 2, an action (get, remove alike)
/// returns the stored package under the request's id, or code 4.
class ScriptedServer : public QObject
{
    Q_OBJECT

public:
    struct Frame
    {
        int connection = 0; // 1 for the first accepted connection, and so on
        int type = 0;
        int packageId = 0;
        QByteArray bytes; // header and payload as received
        BasicPackagePtr package;
    };
    /// Returns the frames to send back for one received frame.
    using Script = std::function<QList<QByteArray>(const Frame &frame)>;

    explicit ScriptedServer(bool ready = true);
    ~ScriptedServer() override;

    quint16 port() const { return m_port; }
    /// Writes the settings file the client reads: this server's port and `extra`.
    void writeSettings(const QMap<QString, QVariant> &extra = {}) const;
    /// Creates or removes the readiness block.
    void setReady(bool ready);

    void setScript(Script script);
    /// The default answer to `frame`, for scripts that change only some cases.
    QList<QByteArray> defaultReply(const Frame &frame);
    /// Every frame received since the start or the last reset().
    QList<Frame> frames() const;
    int connectionCount() const;
    /// Waits, with the caller's event loop running, until `count` frames other
    /// than INIT (the ones the requests under test produce) are in.
    bool waitForRequests(int count, int timeoutMs = 5000) const;
    /// Sends `bytes` to every connected client.
    void push(const QByteArray &bytes);
    /// Closes every client connection the orderly way: bytes already written
    /// arrive first.
    void closeClients() { endClients(true); }
    /// Drops every client connection at once.
    void dropClients() { endClients(false); }
    /// Back to the default script, with no values stored and no frames recorded.
    void reset();
    /// Stores a value package as if a client had set it.
    void store(const BasicPackagePtr &package);

    /// Replies that end the connection once the replies before them are
    /// written: an orderly close, or a reset (bytes already written go first).
    static QByteArray hangUp() { return QByteArrayLiteral("<hang up>"); }
    static QByteArray resetConnection() { return QByteArrayLiteral("<reset>"); }

private:
    void endClients(bool orderly);
    void receive(QTcpSocket *socket);
    void forget(QTcpSocket *socket);
    template <typename F>
    void onServerThread(F f);

    // Everything network-side lives on m_thread, below m_context.
    QThread *m_thread;
    QObject *m_context;
    QTcpServer *m_listener = nullptr;
    quint16 m_port = 0;
    QSharedMemory m_ready;
    mutable QMutex m_mutex;
    Script m_script;
    QList<Frame> m_frames;
    QMap<QString, BasicPackagePtr> m_values;
    int m_connectionCount = 0;
    struct Peer
    {
        int connection = 0;
        QByteArray buffer;
    };
    QMap<QTcpSocket *, Peer> m_peers;
};

#endif // SCRIPTEDSERVER_H
