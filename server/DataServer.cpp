#include "DataServer.h"

#include "ActionPackage.h"
#include "AutoUpdatePackage.h"
#include "ClientConnection.h"
#include "CommandPackage.h"
#include "FrameBytes.h"
#include "IdentDataGlobals.h"
#include "IdentifyPackage.h"
#include "ResponsePackage.h"
#include "ServerLog.h"
#include "SslServer.h"
#include "StatusAgentPackage.h"
#include "StoredFile.h"
#include "TlsIdentity.h"

#include <QAbstractEventDispatcher>
#include <QSslSocket>

namespace {

// With --port 0 the port the IPv4 listener drew may be taken on ::1; a few
// fresh draws settle that.
constexpr int ListenAttempts = 5;

bool hasKnownKind(const DataPackage &package)
{
    return package.ident() && package.ident()->kindName() != QLatin1String("unknown");
}

QString unknownKindMessage(const char *what)
{
    return QStringLiteral("Bad request: cannot %1 a value whose identifier is of kind \"unknown\"")
        .arg(QLatin1String(what));
}

} // namespace

DataServer::DataServer(const ServerSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{
    // The commit runs as soon as the event loop has nothing left to handle:
    // just before it would wait, or, in a loop that never waits, from a zero
    // timer. A posted call would instead cost a wake-up of the loop.
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(0);
    connect(&m_flushTimer, &QTimer::timeout, this, &DataServer::flush);
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                &DataServer::beforeWaiting);
}

DataServer::~DataServer()
{
    shutdown();
}

bool DataServer::start(QString *error)
{
    if (!m_store.open(m_settings.dataDir, m_settings.inMemory, error))
        return false;
    return listen(error);
}

bool DataServer::listen(QString *error)
{
    TlsIdentity tls;
    if (m_settings.encryption &&
        !tls.load(m_settings.tlsCertificate, m_settings.tlsKey, m_settings.dataDir, error))
        return false;
    m_tlsFingerprint = m_settings.encryption ? tls.fingerprint() : QByteArray();
    const QHostAddress addresses[] = {QHostAddress(QHostAddress::LocalHost),
                                      QHostAddress(QHostAddress::LocalHostIPv6)};
    for (int attempt = 0; attempt < ListenAttempts; ++attempt) {
        qDeleteAll(m_listeners);
        m_listeners.clear();
        quint16 port = m_settings.port;
        bool listening = true;
        for (const QHostAddress &address : addresses) {
            auto *listener = new SslServer(this);
            if (m_settings.encryption)
                listener->setTls(tls.certificate(), tls.key());
            if (!listener->listen(address, port)) {
                *error = QStringLiteral("cannot listen on %1 port %2: %3")
                             .arg(address.toString())
                             .arg(port)
                             .arg(listener->errorString());
                delete listener;
                listening = false;
                break;
            }
            port = listener->serverPort();
            m_listeners.append(listener);
            connect(listener, &QTcpServer::newConnection, this,
                    [this, listener] { accept(listener); });
        }
        if (listening) {
            m_port = port;
            qCInfo(lcServer).noquote() << "listening on 127.0.0.1 and ::1 port" << port
                                       << (m_settings.encryption ? "with TLS" : "without TLS");
            return true;
        }
        if (m_settings.port != 0 || m_listeners.isEmpty())
            break;
    }
    qDeleteAll(m_listeners);
    m_listeners.clear();
    return false;
}

bool DataServer::clearValues(QString *error)
{
    flush();
    return m_store.clear(error);
}

void DataServer::changed()
{
    if (m_flushScheduled || !m_store.needsCommit())
        return;
    m_flushScheduled = true;
    for (ClientConnection *client : qAsConst(m_clients))
        client->hold();
    // Frames already read in this pass, from every connection, are handled
    // before the flush, so one commit serves them all.
    m_flushTimer.start();
}

void DataServer::flush()
{
    if (!m_flushScheduled)
        return;
    m_flushScheduled = false;
    m_flushTimer.stop();
    QString error;
    const bool committed = m_store.commit(&error);
    if (!committed)
        qCWarning(lcServer).noquote() << "cannot commit changes:" << error;
    // A copy: a connection whose file transfer fails leaves m_clients.
    const QList<ClientConnection *> clients = m_clients;
    for (ClientConnection *client : clients)
        client->release(committed, QStringLiteral("its answers were not recorded: ") + error);
}

void DataServer::beforeWaiting()
{
    flush();
    // A copy: a connection whose file transfer fails leaves m_clients.
    const QList<ClientConnection *> clients = m_clients;
    for (ClientConnection *client : clients)
        client->sendBuffered();
}

void DataServer::shutdown()
{
    flush();
    qDeleteAll(m_listeners);
    m_listeners.clear();
    const QList<ClientConnection *> clients = m_clients;
    m_clients.clear();
    for (ClientConnection *client : clients) {
        client->disconnect(this);
        client->close();
        delete client;
    }
    m_store.close();
}

void DataServer::accept(SslServer *listener)
{
    while (QTcpSocket *pending = listener->nextPendingConnection()) {
        auto *socket = qobject_cast<QSslSocket *>(pending);
        // Answers are small and each ends a client's wait: Nagle's delay
        // would hold one back until the previous one is acknowledged.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto *client = new ClientConnection(socket, &m_store, m_settings.maxFrameSize,
                                            m_settings.maxFileSize, m_nextNumber++, this);
        m_clients.append(client);
        if (m_flushScheduled)
            client->hold();
        connect(client, &ClientConnection::packageReceived, this, &DataServer::handle);
        connect(client, &ClientConnection::closed, this, [this](ClientConnection *gone) {
            m_clients.removeOne(gone);
            gone->deleteLater();
        });
    }
}

void DataServer::handle(ClientConnection *client, const BasicPackagePtr &package)
{
    switch (package->type()) {
    case BasicPackage::Identify:
        identify(client, *package);
        break;
    case BasicPackage::Action:
        act(client, *package.staticCast<DataPackage>(),
            package.staticCast<ActionPackage>()->action());
        break;
    case BasicPackage::AutoUpdate:
        subscribe(client, *package.staticCast<DataPackage>(),
                  package.staticCast<AutoUpdatePackage>()->mode());
        break;
    case BasicPackage::Command:
        command(client, *package);
        break;
    case BasicPackage::StatusAgent:
        client->setStatus(package.staticCast<StatusAgentPackage>()->status());
        qCInfo(lcServer).noquote() << client->name() << "status:" << client->status();
        break;
    case BasicPackage::Response:
        answer(client, package->packageId(), ResponsePackage::Failed,
               QStringLiteral("Bad request: the server does not take response packages"));
        break;
    default:
        // Every remaining type is a value package.
        setValue(client, *package.staticCast<DataPackage>(), client->takeReceivedFile().get());
        break;
    }
}

void DataServer::identify(ClientConnection *client, const BasicPackage &package)
{
    client->setIdentified(static_cast<const IdentifyPackage &>(package).clientName());
    qCInfo(lcServer).noquote() << client->name() << "identified";
    answer(client, package.packageId(), ResponsePackage::InitAcknowledged);
    // Clients serve globals from their cache and never ask for them.
    QString error;
    const QList<ValueStore::Entry> globals = m_store.globals(&error);
    if (!error.isEmpty())
        qCWarning(lcServer).noquote() << "cannot push globals to" << client->name() << error;
    for (const ValueStore::Entry &entry : globals)
        deliver(client, frameOf(entry, 0), entry);
}

void DataServer::setValue(ClientConnection *client, const DataPackage &package,
                          IncomingFile *content)
{
    if (!hasKnownKind(package)) {
        answer(client, package.packageId(), ResponsePackage::Failed, unknownKindMessage("store"));
        return;
    }
    const QString key = package.ident()->toString();
    const bool global = dynamic_cast<const IdentDataGlobals *>(package.ident()) != nullptr;
    ValueStore::Entry stored;
    QString error;
    const ValueStore::Result result = m_store.put(key, global, package, content, &stored, &error);
    changed();
    if (result != ValueStore::Result::Done) {
        qCWarning(lcServer).noquote() << client->name() << error;
        answer(client, package.packageId(), ResponsePackage::Failed, error);
        return;
    }
    qCDebug(lcServer).noquote() << client->name() << "set" << key;
    answer(client, package.packageId(), ResponsePackage::Done);
    announceChange(*package.ident(), &stored);
}

void DataServer::act(ClientConnection *client, const DataPackage &package, int action)
{
    const int id = package.packageId();
    if (!hasKnownKind(package)) {
        answer(client, id, ResponsePackage::Failed,
               unknownKindMessage(action == ActionPackage::Remove ? "remove" : "read"));
        return;
    }
    const QString key = package.ident()->toString();
    if (action != ActionPackage::Get && action != ActionPackage::Remove) {
        answer(client, id, ResponsePackage::Failed,
               QStringLiteral("Bad request: unknown action %1 for %2").arg(action).arg(key));
        return;
    }
    const bool get = action == ActionPackage::Get;
    QString error;
    ValueStore::Entry entry;
    const ValueStore::Result result =
        get ? m_store.get(key, &entry, &error) : m_store.remove(key, &error);
    if (!get)
        changed();
    qCDebug(lcServer).noquote() << client->name() << (get ? "get" : "remove") << key;
    switch (result) {
    case ValueStore::Result::Done:
        if (get) {
            if (!deliver(client, frameOf(entry, id), entry))
                answer(client, id, ResponsePackage::Failed,
                       QStringLiteral("storage failed to read %1").arg(key));
        } else {
            answer(client, id, ResponsePackage::Done);
            announceChange(*package.ident(), nullptr);
        }
        break;
    case ValueStore::Result::NotFound:
        answer(client, id, ResponsePackage::NotFound, QStringLiteral("Unknown value: ") + key);
        break;
    case ValueStore::Result::Failed:
        qCWarning(lcServer).noquote() << client->name() << error;
        answer(client, id, ResponsePackage::Failed, error);
        break;
    }
}

void DataServer::subscribe(ClientConnection *client, const DataPackage &package, int mode)
{
    if (!hasKnownKind(package)) {
        answer(client, package.packageId(), ResponsePackage::Failed, unknownKindMessage("watch"));
        return;
    }
    const QString key = package.ident()->toString();
    if (mode != AutoUpdatePackage::On && mode != AutoUpdatePackage::Off) {
        answer(client, package.packageId(), ResponsePackage::Failed,
               QStringLiteral("Bad request: unknown auto-update mode %1 for %2 (1 switches "
                              "notifications on, 2 off)")
                   .arg(mode)
                   .arg(key));
        return;
    }
    client->setSubscribed(key, mode == AutoUpdatePackage::On);
    qCDebug(lcServer).noquote() << client->name() << "notifications"
                                << (mode == AutoUpdatePackage::On ? "on" : "off") << key;
}

void DataServer::command(ClientConnection *client, const BasicPackage &package)
{
    const auto &received = static_cast<const CommandPackage &>(package);
    qCInfo(lcServer).noquote() << client->name() << "command:" << received.command()
                               << received.params().join(QLatin1Char(' '));
    if (received.command().toLower() != QLatin1String("clear clients cache"))
        return;
    const QByteArray frame =
        FrameBytes::encode(CommandPackage(0, received.command(), received.params()));
    const QList<ClientConnection *> clients = m_clients;
    for (ClientConnection *other : clients)
        other->send(frame);
}

void DataServer::answer(ClientConnection *client, int packageId, int code, const QString &message)
{
    client->send(FrameBytes::encode(ResponsePackage(packageId, code, message)));
}

void DataServer::announceChange(const IdentData &ident, const ValueStore::Entry *value)
{
    const QString key = ident.toString();
    const bool global = dynamic_cast<const IdentDataGlobals *>(&ident) != nullptr;
    const QByteArray notice =
        FrameBytes::encode(AutoUpdatePackage(0, ident.clone(), AutoUpdatePackage::Changed));
    const QByteArray pushed = global && value ? frameOf(*value, 0) : QByteArray();
    // A copy: a client whose file transfer fails leaves m_clients meanwhile.
    const QList<ClientConnection *> clients = m_clients;
    for (ClientConnection *client : clients) {
        const bool pushTo = global && client->isIdentified();
        // A removed globals value reaches every identified client as a
        // notification. A subscriber of a changed one gets the notification
        // before the new value, so the client drops its old copy first.
        if (client->isSubscribed(key) || (pushTo && !value))
            client->send(notice);
        if (pushTo && value)
            deliver(client, pushed, *value);
    }
}

bool DataServer::deliver(ClientConnection *client, const QByteArray &frame,
                         const ValueStore::Entry &entry)
{
    if (entry.type != BasicPackage::File) {
        client->send(frame);
        return true;
    }
    QString error;
    const QSharedPointer<StoredFile> content = m_store.fileContent(entry, &error);
    if (!content) {
        qCWarning(lcServer).noquote()
            << "cannot send" << entry.key << "to" << client->name() << error;
        return false;
    }
    client->sendFile(frame, content);
    return true;
}

QByteArray DataServer::frameOf(const ValueStore::Entry &entry, int packageId)
{
    // For a file the stored payload ends after the name; the header counts the
    // content that follows from the store.
    return FrameBytes::encode(*FrameBytes::decodePayload(entry.type, packageId, entry.payload),
                              entry.fileSize);
}
