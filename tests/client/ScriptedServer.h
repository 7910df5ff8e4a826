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

#include <functional>

class QTcpServer;
class QTcpSocket;
class QThread;

/// A stand-in for VelDataServer on its own thread, so that a client under test
/// may block its own thread (as it does while it connects) and still be
/// answered. It listens on a free loopback port, creates the readiness block,
/// records every frame it receives with its raw bytes, and answers through a
/// replaceable script. The default script behaves like a small data server:
/// INIT gets code 6, a value package is stored and gets code 2, a get returns
/// the stored package under the request's id or code 4, a remove gets 2 or 4.
class ScriptedServer : public QObject
{
    Q_OBJECT

public:
    struct Frame
    {
        int type = 0;
        int packageId = 0;
        QByteArray bytes; // header and payload as received
        BasicPackagePtr package;
    };
    /// Returns the frames to send back for one received frame.
    using Script = std::function<QList<QByteArray>(const Frame &frame)>;

    ScriptedServer();
    ~ScriptedServer() override;

    quint16 port() const { return m_port; }
    /// Writes the settings file that the client reads (serverPort and extras).
    void writeSettings(const QString &extraLines = QString()) const;
    /// Creates or removes the readiness block.
    void setReady(bool ready);

    void setScript(Script script);
    /// The default answer to `frame`, for scripts that change only some cases.
    QList<QByteArray> defaultReply(const Frame &frame);
    /// Every frame received so far, and forgets them.
    QList<Frame> takeFrames();
    /// Frames received so far, without forgetting them.
    QList<Frame> frames() const;
    /// Sends `frame` to every connected client.
    void push(const QByteArray &frame);
    /// Drops every client connection.
    void dropClients();
    /// Back to the default script, with no values stored and no frames recorded.
    void reset();
    /// Stores a value package as if a client had set it.
    void store(const BasicPackagePtr &package);

    static QByteArray encode(const BasicPackage &package);
    /// Replies that end the connection once the replies before them are
    /// written: an orderly close, or a reset (bytes already written go first).
    static QByteArray hangUp() { return QByteArrayLiteral("<hang up>"); }
    static QByteArray resetConnection() { return QByteArrayLiteral("<reset>"); }

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    template <typename F>
    void onServerThread(F f);

    // Everything network-side lives on m_thread, below m_context.
    QThread *m_thread;
    QObject *m_context;
    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
    QSharedMemory m_ready;
    mutable QMutex m_mutex;
    Script m_script;
    QList<Frame> m_frames;
    QMap<QString, BasicPackagePtr> m_values;
    QMap<QTcpSocket *, QByteArray> m_buffers;
};

#endif // SCRIPTEDSERVER_H
