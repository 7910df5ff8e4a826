#ifndef CLIENTCONNECTION_H
#define CLIENTCONNECTION_H

#include "BasicPackage.h"
#include "HeaderDecoder.h"
#include "IncomingFile.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QTimer>

#include <memory>

class FilePackage;
class QSslSocket;
class StoredFile;
class ValueStore;

/// One client's connection. It cuts the incoming stream into packages with a
/// decoder of its own and hands each to the server; a frame that cannot be
/// decoded closes this connection only. A frame that is too large is refused
/// with an error answer under its package id, and then the connection ends:
/// the answer goes out first and the server closes its sending side, while
/// the rest of the frame is read and discarded until the client closes (or a
/// few seconds pass), so that no reset destroys the answer before the client
/// has read it. A file frame's content is written to the store as it
/// arrives; one larger than the file limit or than the free disk space is
/// refused with an error answer and the rest of it discarded, and the
/// connection goes on. Outgoing frames are queued so they never interleave,
/// and a stored file is read from the store in large blocks as the socket
/// drains, so neither direction holds a large file whole. When the client
/// does not read its answers, reading from it pauses, which lets TCP hold the
/// sender back. While its answers may speak of changes not yet committed,
/// the server holds the connection: what it sends is queued, in order, and
/// goes out on release(); a fault meanwhile ends the connection only after
/// that, so the answers before it still arrive. It also keeps what the protocol keeps per
/// connection: whether the client identified itself, its change subscriptions and its last status.
class ClientConnection : public QObject
{
    Q_OBJECT

public:
    /// Takes ownership of `socket`, which is connected (and, for TLS,
    /// handshaking). `maxFrameSize` counts the header and applies to every
    /// frame but a file's, whose content may have up to `maxFileSize` bytes.
    ClientConnection(QSslSocket *socket, ValueStore *store, qint64 maxFrameSize, qint64 maxFileSize,
                     int number, QObject *parent = nullptr);
    ~ClientConnection() override;

    void send(const QByteArray &frame);
    /// Hands the socket's buffered answers to the kernel now. Left to the
    /// socket, they would wait for its next report that it can write, one
    /// more pass of the event loop and one more poll for every answer.
    void sendBuffered();
    /// Sends `head` (a file frame's header, identifier and name, whose header
    /// counts the content) followed by the content of `file`.
    void sendFile(const QByteArray &head, const QSharedPointer<StoredFile> &file);
    /// The content of the file package that packageReceived hands out, for
    /// its handler to store; null for any other package.
    std::unique_ptr<IncomingFile> takeReceivedFile() { return std::move(m_receivedFile); }
    /// Ends the connection after handing the socket what is queued;
    /// closed() follows.
    void close();
    /// Ends the connection because of a fault, with a warning.
    void drop(const QString &reason);
    /// Queues everything sent from now on until release().
    void hold();
    /// Sends what was held, or with `deliver` false discards it, since what
    /// it speaks of is lost, and drops the connection for `reason`.
    void release(bool deliver = true, const QString &reason = QString());

    /// The client's number and peer, and its program once identified.
    QString name() const;
    bool isIdentified() const { return m_identified; }
    void setIdentified(const QString &program);
    bool isSubscribed(const QString &key) const { return m_subscriptions.contains(key); }
    void setSubscribed(const QString &key, bool on);
    const QString &status() const { return m_status; }
    void setStatus(const QString &status) { m_status = status; }

signals:
    void packageReceived(ClientConnection *connection, const BasicPackagePtr &package);
    /// Emitted once, when the connection is gone; delete it later.
    void closed(ClientConnection *connection);

private:
    struct Outgoing
    {
        QByteArray bytes;
        QSharedPointer<StoredFile> file;
        qint64 offset = 0;
        // Cleared when the kernel cannot send this file itself.
        bool direct = true;
    };

    void readIncoming();
    void writeOutgoing();
    /// How a stored file's bytes went straight from the file to the socket.
    enum class Direct
    {
        Sent,        ///< all of them
        Paused,      ///< a burst; the rest follows from the event loop
        Waiting,     ///< none yet: bytes in the socket's buffer go first
        Full,        ///< the socket takes no more for now
        Unsupported, ///< not this way: TLS, content in memory, or an error
    };
    Direct sendDirectly(Outgoing &item);
    void onBytesWritten();
    void onPackage(const BasicPackagePtr &package, qint64 dataSize);
    void onFileChunk(int packageId, qint64 payloadSize, qint64 offset, const QByteArray &chunk);
    /// The first chunk of a file frame: its identifier and name, and the
    /// start of its content.
    void startFile(int packageId, qint64 payloadSize, const QByteArray &chunk);
    /// Ends the file being received with an error answer; the rest of its
    /// frame is discarded.
    void refuseFile(const QString &message);
    void onDisconnected();
    void refuse(int packageId, qint64 payloadSize);
    /// After a refusal: ends the sending side once everything is out.
    void closeSendingWhenSent();
    qint64 backlog() const;
    void releaseQueue();
    void finish();

    QSslSocket *m_socket;
    ValueStore *m_store;
    qint64 m_payloadLimit;
    qint64 m_maxFileSize;
    HeaderDecoder m_decoder;
    // The file frame being received: its package (without content), and
    // where its content goes; null content once it was refused.
    QSharedPointer<FilePackage> m_incomingHead;
    std::unique_ptr<IncomingFile> m_incoming;
    std::unique_ptr<IncomingFile> m_receivedFile;
    QList<Outgoing> m_queue;
    // The block a stored file is read into when it goes through the socket's
    // buffer, kept so that each one costs no fresh memory.
    QByteArray m_block;
    bool m_continueQueued = false;
    QString m_peer;
    QString m_program;
    QString m_status;
    QSet<QString> m_subscriptions;
    int m_number;
    bool m_identified = false;
    bool m_closed = false;
    bool m_reading = false;
    bool m_writing = false;
    // A frame was refused: nothing more is sent or handled, only discarded.
    bool m_refused = false;
    bool m_sendingClosed = false;
    bool m_held = false;
    // Bytes queued while held; they count towards pausing reads.
    qint64 m_heldBytes = 0;
    // Ended while held: it finishes once the held answers are out.
    bool m_ending = false;
    QString m_endReason;
    QTimer m_lingerTimer;
};

#endif // CLIENTCONNECTION_H
