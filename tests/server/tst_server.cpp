// Drives the real VelDataServer program with raw frames over loopback sockets.

#include "ActionPackage.h"
#include "AutoUpdatePackage.h"
#include "BoolPackage.h"
#include "CommandPackage.h"
#include "DoubleListPackage.h"
#include "DoublePackage.h"
#include "FilePackage.h"
#include "FrameBytes.h"
#include "IdentDataGlobals.h"
#include "IdentDataMqtt.h"
#include "IdentDataOpcua.h"
#include "IdentDataRuntime.h"
#include "IdentifyPackage.h"
#include "IntListPackage.h"
#include "IntPackage.h"
#include "ListTypes.h"
#include "RawClient.h"
#include "ResponsePackage.h"
#include "ServerProcess.h"
#include "StatusAgentPackage.h"
#include "StringListPackage.h"
#include "StringPackage.h"
#include "TestSupport.h"
#include "VariantPackage.h"
#include "VdsProtocol.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

/// One step of a conversation: client `client` sends `bytes` and `request`,
/// if there are any, and then receives `answer`, if one is given, or finds
/// its connection `Closed`; a step with none of them checks that nothing is
/// on its way to that client.
struct Step
{
    int client;
    BasicPackagePtr request;
    QString answer;
    QByteArray bytes = QByteArray();
};
using Script = QList<Step>;
Q_DECLARE_METATYPE(Script)

namespace {

const auto runtime = [](const QString &key) -> IdentData * {
    return new IdentDataRuntime(key, QStringLiteral("uuid-1"));
};
const auto globals = [](const QString &key) -> IdentData * { return new IdentDataGlobals(key); };

/// `size` bytes of a pattern that differs from piece to piece, in the 64 KiB
/// pieces a client sends.
QList<QByteArray *> content(int size)
{
    QList<QByteArray *> pieces;
    for (int offset = 0; offset < size; offset += HeaderDecoder::PACKAGE_CHUNK_SIZE) {
        auto *piece = new QByteArray(qMin(size - offset, HeaderDecoder::PACKAGE_CHUNK_SIZE), 0);
        for (int i = 0; i < piece->size(); ++i)
            (*piece)[i] = char((offset + i) * 7 / 3);
        pieces.append(piece);
    }
    return pieces;
}

const auto file = [](int id, IdentData *ident, int size) {
    return new FilePackage(id, ident, QStringLiteral("data-%1.bin").arg(size), content(size));
};
const auto frameOf = [](BasicPackage *package) {
    return FrameBytes::encode(*BasicPackagePtr(package));
};

/// A response as it reads, anything else by its type and the digest of its
/// whole frame, so that a wrong answer shows what came instead.
QString describe(const BasicPackagePtr &package)
{
    if (const auto response = package.dynamicCast<ResponsePackage>())
        return QStringLiteral("response %1 code %2 %3")
            .arg(response->packageId())
            .arg(response->responseCode())
            .arg(response->message());
    if (!package)
        return QStringLiteral("nothing");
    const QByteArray frame = FrameBytes::encode(*package);
    return QStringLiteral("package %1 type %2 frame %3")
        .arg(package->packageId())
        .arg(package->type())
        .arg(
            QString::fromLatin1(QCryptographicHash::hash(frame, QCryptographicHash::Sha1).toHex()));
}

QString describe(BasicPackage *package)
{
    return describe(BasicPackagePtr(package));
}

QString response(int id, int code, const QString &message = QString())
{
    return QStringLiteral("response %1 code %2 %3").arg(id).arg(code).arg(message);
}

const auto done = [](int id) { return response(id, ResponsePackage::Done); };
const auto unknown = [](int id, IdentData *ident) {
    const std::unique_ptr<IdentData> owned(ident);
    return response(id, ResponsePackage::NotFound,
                    QStringLiteral("Unknown value: ") + owned->toString());
};
const auto notification = [](IdentData *ident) {
    return describe(new AutoUpdatePackage(0, ident, AutoUpdatePackage::Changed));
};
const auto get = [](int id, IdentData *ident) {
    return BasicPackagePtr(new ActionPackage(id, ident, ActionPackage::Get));
};
const auto removal = [](int id, IdentData *ident) {
    return BasicPackagePtr(new ActionPackage(id, ident, ActionPackage::Remove));
};
const auto number = [](int id, IdentData *ident, int value) {
    return BasicPackagePtr(new IntPackage(id, ident, value));
};
const auto quiet = [](int client) { return Step{client, {}, QString()}; };

const QString Closed = QStringLiteral("closed");
const QString Dropped = QStringLiteral(" dropped: ");

/// Plays `script`, each step on its client, and stops at the first wrong answer.
void play(const QList<RawClient *> &clients, const Script &script)
{
    for (const Step &step : script) {
        RawClient &client = *clients.at(step.client);
        client.sendBytes(step.bytes);
        if (step.request)
            client.send(*step.request);
        if (step.answer == Closed) {
            QVERIFY(client.waitForDisconnected());
            QCOMPARE(describe(client.next()), QStringLiteral("nothing"));
        } else if (!step.answer.isEmpty()) {
            QCOMPARE(describe(client.next()), step.answer);
        } else if (!step.request && step.bytes.isEmpty()) {
            QVERIFY(client.isQuiet());
        }
    }
}

} // namespace

class tst_Server : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void conversations_data();
    void conversations();
    void fileTransferOutlivesItsReplacement();
    void globalsPushedOnInitAndOnSet();
    void persistence_data();
    void persistence();
    void tls();
    void fileWithoutRoom_data();
    void fileWithoutRoom();
    void refusesSecondServer_data();
    void refusesSecondServer();
    void unusableDataFolder_data();
    void unusableDataFolder();

private:
    bool startServer(const QStringList &arguments = {});
    /// The files in the server's folder of stored files.
    QStringList storedFiles() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ServerProcess> m_server;
};

void tst_Server::initTestCase()
{
    ListTypes::registerStreamOperators();
    QVERIFY(QFile::exists(QCoreApplication::applicationDirPath() + "/VelDataServer"));
}

void tst_Server::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_Server::cleanup()
{
    if (QTest::currentTestFailed() && m_server)
        qWarning().noquote() << "server log:\n" << m_server->errorOutput();
    m_server.reset();
    m_dir.reset();
    TestSupport::writeSettings({});
}

bool tst_Server::startServer(const QStringList &arguments)
{
    m_server = std::make_unique<ServerProcess>(m_dir->filePath(QStringLiteral("data")));
    return m_server->start(arguments);
}

QStringList tst_Server::storedFiles() const
{
    return QDir(m_dir->filePath(QStringLiteral("data/files"))).entryList(QDir::Files);
}

// Client 0 speaks over IPv4, client 1 over IPv6, to a server started with
// `arguments`; `logged` is what the server's log holds afterwards.
void tst_Server::conversations_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Script>("script");
    QTest::addColumn<QStringList>("logged");

    const auto row = [](const char *name, const Script &script, const QStringList &logged = {},
                        const QStringList &arguments = {}) {
        QTest::newRow(name) << arguments << script << logged;
    };
    // Client 0 sends `bytes` as they are and then receives `answer`.
    const auto sent = [](const QByteArray &bytes, const QString &answer) {
        return Step{0, {}, answer, bytes};
    };
    // Stored by one client, read back by the other.
    const auto stored = [&row](const char *name, DataPackage *value) {
        const BasicPackagePtr set(value);
        row(name,
            {{0, set, done(12)}, {1, get(12, value->ident()->clone()), describe(set)}, quiet(1)});
    };
    stored("string, runtime", new StringPackage(12, runtime("s"), QStringLiteral("h\u00e9llo")));
    stored("null string, null uuid",
           new StringPackage(12, new IdentDataRuntime(QStringLiteral("n"), QString()), QString()));
    stored("double, globals", new DoublePackage(12, globals("d"), -3.25e-7));
    stored("int, opcua", new IntPackage(12, new IdentDataOpcua(QStringLiteral("ns=2;s=x")), -7));
    stored("bool, mqtt", new BoolPackage(12, new IdentDataMqtt(QStringLiteral("plant/1")), true));
    // The lists and the variant span the 64 KiB chunks of a payload.
    stored("string list",
           new StringListPackage(12, runtime("sl"), {"a", QString(), QString(40000, 'x')}));
    stored("double list",
           new DoubleListPackage(12, runtime("dl"), QVector<double>(9000, 0.5).toList() << -1e300));
    stored("int list",
           new IntListPackage(12, runtime("il"), QVector<int>(20000, -1).toList() << 1 << 0));
    stored("variant holding points",
           new VariantPackage(
               12, runtime("vp"),
               QVariant::fromValue(QVector<QPoint>(10000, {1, -2}).toList() << QPoint(-3, 4))));
    stored("empty file", file(12, runtime("f0"), 0));

    const auto noUuid = [] { return new IdentDataRuntime(QStringLiteral("r"), QString()); };
    const auto opcua = [] { return new IdentDataOpcua(QStringLiteral("r")); };
    row("unknown and removed values",
        {{0, get(1, runtime("r")), unknown(1, runtime("r"))},
         {0, removal(2, runtime("r")), unknown(2, runtime("r"))},
         {0, number(3, runtime("r"), 5), done(3)},
         // Another uuid, another kind name another value.
         {0, removal(4, noUuid()), unknown(4, noUuid())},
         {0, number(5, new IdentDataMqtt(QStringLiteral("r")), 6), done(5)},
         {0, get(6, opcua()), unknown(6, opcua())},
         {0, removal(7, runtime("r")), done(7)},
         {0, get(8, runtime("r")), unknown(8, runtime("r"))},
         {0, removal(9, runtime("r")), unknown(9, runtime("r"))}});

    const auto watch = [](int id, int mode) {
        return BasicPackagePtr(new AutoUpdatePackage(id, runtime("w"), mode));
    };
    row("subscription across connections",
        {{0, watch(1, AutoUpdatePackage::On), QString()},
         quiet(0),
         {1, number(2, runtime("w"), 1), done(2)},
         {0, {}, notification(runtime("w"))},
         {1, number(3, runtime("other"), 1), done(3)},
         quiet(0),
         quiet(1),
         // A removal is a change too, a failed one is not.
         {1, removal(4, runtime("w")), done(4)},
         {0, {}, notification(runtime("w"))},
         {1, removal(5, runtime("w")), unknown(5, runtime("w"))},
         quiet(0),
         // The subscriber's own change reaches it after its answer.
         {0, number(6, runtime("w"), 3), done(6)},
         {0, {}, notification(runtime("w"))},
         {0, watch(7, AutoUpdatePackage::Off), QString()},
         quiet(0),
         {1, number(8, runtime("w"), 2), done(8)},
         quiet(0)});

    // Forwarded to every client, the sender too; a status is only logged.
    for (const char *command :
         {VdsProtocol::ClearCacheCommand, "Clear Clients CACHE", "clear client cache"}) {
        const QStringList params{QStringLiteral("p1"), QStringLiteral("p2")};
        const QString forwarded = describe(new CommandPackage(0, command, params));
        Script script{quiet(1),
                      {0, BasicPackagePtr(new StatusAgentPackage(1, "busy with batch 7")), {}},
                      {0, BasicPackagePtr(new CommandPackage(2, command, params)), {}}};
        if (QByteArray(command) != "clear client cache")
            script << Step{0, {}, forwarded} << Step{1, {}, forwarded};
        row(qPrintable(QStringLiteral("command \"%1\"").arg(command)),
            script << quiet(0) << quiet(1), {QStringLiteral("busy with batch 7"), command});
    }

    // Refused requests: the connection goes on.
    const auto refused = [&row](const char *name, BasicPackage *request, const QString &message) {
        row(name, {{0, BasicPackagePtr(request), response(42, ResponsePackage::Failed, message)},
                   quiet(0)});
    };
    const auto unknownKind = [](const char *what) {
        return QStringLiteral("Bad request: cannot %1 a value whose identifier is of kind "
                              "\"unknown\"")
            .arg(QLatin1String(what));
    };
    refused("set, unknown kind", new IntPackage(42, new IdentData(), 1), unknownKind("store"));
    refused("set, kind text in wrong case",
            new StringPackage(42, new IdentData(QStringLiteral("Runtime")), QStringLiteral("x")),
            unknownKind("store"));
    refused("remove, unknown kind", new ActionPackage(42, new IdentData(), ActionPackage::Remove),
            unknownKind("remove"));
    refused("auto-update, unknown kind",
            new AutoUpdatePackage(42, new IdentData(), AutoUpdatePackage::On),
            unknownKind("watch"));
    refused("action 3", new ActionPackage(42, runtime("a"), 3),
            "Bad request: unknown action 3 for runtime Key: a; UUID: uuid-1");
    refused("auto-update mode 3 from a client", new AutoUpdatePackage(42, runtime("a"), 3),
            "Bad request: unknown auto-update mode 3 for runtime Key: a; UUID: uuid-1 (1 switches "
            "notifications on, 2 off)");
    refused("response from a client", new ResponsePackage(42, ResponsePackage::Done, QString()),
            "Bad request: the server does not take response packages");

    // Frames that cannot be read: the connection is dropped.
    row("type code 13", {sent(FrameBytes::header(13, 1, 4) + "xxxx", Closed)}, {Dropped});
    row("negative payload size", {sent(FrameBytes::header(5, 1, -1), Closed)}, {Dropped});
    // Refused from its header alone, under its package id, before the close.
    const QString tooLarge(" refused: Request too large: ");
    row("header announcing 2 GiB",
        {sent(FrameBytes::header(3, 7, qint64(2) << 30),
              response(7, ResponsePackage::Failed,
                       "Request too large: 2147483648 bytes, limit 1073741808")),
         {0, {}, Closed}},
        {tooLarge});
    // 16 header bytes, 30 identifier bytes, 4 for the length: 50 + 2 per character.
    const QStringList limit{QStringLiteral("--max-frame-size"), QStringLiteral("4096")};
    const auto text = [](int id, int size) {
        return frameOf(new StringPackage(id, new IdentDataRuntime("k", "u"), QString(size, 'x')));
    };
    row("frame at --max-frame-size", {sent(text(1, 2023), done(1)), quiet(0)}, {}, limit);
    row("answers before a refused frame still arrive",
        {sent(frameOf(new IntPackage(2, runtime("k"), 1)) + text(3, 2024), done(2)),
         {0, {}, response(3, ResponsePackage::Failed, "Request too large: 4082 bytes, limit 4080")},
         {0, {}, Closed}},
        {tooLarge}, limit);
    // A file is not held in memory: the frame limit is not its limit. One
    // over its own limit is refused, the rest of it read and dropped, and the
    // connection goes on.
    row("file over --max-frame-size",
        {sent(frameOf(file(4, runtime("f"), 5000)), done(4)),
         {0, get(5, runtime("f")), describe(file(5, runtime("f"), 5000))}},
        {}, limit);
    row("file over --max-file-size",
        {sent(frameOf(file(4, runtime("f"), 200000)) + frameOf(new IntPackage(5, runtime("k"), 1)),
              response(4, ResponsePackage::Failed, "File too large: 200000 bytes, limit 199999")),
         {0, {}, done(5)},
         {0, get(6, runtime("f")), unknown(6, runtime("f"))}},
        {}, {QStringLiteral("--max-file-size"), QStringLiteral("199999")});
}

void tst_Server::conversations()
{
    QFETCH(QStringList, arguments);
    QFETCH(Script, script);
    QFETCH(QStringList, logged);
    QVERIFY(startServer(arguments));
    RawClient v4, v6;
    QVERIFY(v4.connectTo(m_server->port()));
    QVERIFY(v6.connectTo(m_server->port(), QHostAddress::LocalHostIPv6));
    // Whatever client 0 did, client 1 is served still.
    play({&v4, &v6}, script << quiet(1));
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(m_server->terminate(), 0);
    const QString log = QString::fromUtf8(m_server->errorOutput());
    for (const QString &text : logged)
        QVERIFY2(log.contains(text), qPrintable(log));
    QCOMPARE(log.contains(QLatin1String(" dropped: ")), logged.contains(Dropped));
    // A refused file leaves nothing behind, not even its temporary file.
    QCOMPARE(QDir(m_dir->filePath(QStringLiteral("data/files"))).entryList({"*.part"}),
             QStringList());
}

void tst_Server::fileTransferOutlivesItsReplacement()
{
    QVERIFY(startServer());
    RawClient reader, writer;
    QVERIFY(reader.connectTo(m_server->port()));
    QVERIFY(writer.connectTo(m_server->port()));
    // Larger than what the socket buffers of both ends hold, so most pieces
    // are still in the store when the value changes.
    const int size = 32 << 20;
    play({&reader, &writer}, {{1, BasicPackagePtr(file(1, runtime("f"), size)), done(1)},
                              {0, get(2, runtime("f")), {}},
                              {0, get(3, runtime("f")), {}},
                              {0, get(4, runtime("none")), {}}});
    QVERIFY(reader.socket().waitForReadyRead(RawClient::WaitMs));
    // Both transfers end with the old content; answers keep request order.
    play({&reader, &writer}, {{1, number(4, runtime("f"), 9), done(4)},
                              {0, {}, describe(file(2, runtime("f"), size))},
                              {0, {}, describe(file(3, runtime("f"), size))},
                              {0, {}, unknown(4, runtime("none"))},
                              {0, get(5, runtime("f")), describe(number(5, runtime("f"), 9))}});
}

void tst_Server::globalsPushedOnInitAndOnSet()
{
    QVERIFY(startServer());
    RawClient writer, reader;
    QVERIFY(writer.connectTo(m_server->port()));
    const QList<RawClient *> clients{&writer, &reader};
    play(clients, {{0, number(1, globals("g"), 1), done(1)},
                   {0, BasicPackagePtr(file(2, globals("gf"), 70000)), done(2)},
                   {0, number(3, runtime("r"), 1), done(3)}});

    QVERIFY(reader.connectTo(m_server->port()));
    play(clients, {{1, BasicPackagePtr(new IdentifyPackage(0, QStringLiteral("/bin/reader"), true)),
                    response(0, ResponsePackage::InitAcknowledged)}});
    // In no particular order.
    QStringList pushed{describe(reader.next()), describe(reader.next())};
    QStringList expected{describe(number(0, globals("g"), 1)),
                         describe(file(0, globals("gf"), 70000))};
    pushed.sort();
    expected.sort();
    QCOMPARE(pushed, expected);

    play(clients, {quiet(1),
                   {0, BasicPackagePtr(new DoublePackage(4, globals("g"), 2.5)), done(4)},
                   {1, {}, describe(new DoublePackage(0, globals("g"), 2.5))},
                   {0, removal(5, globals("g")), done(5)},
                   {1, {}, notification(globals("g"))},
                   // Only identified connections are pushed to.
                   quiet(0),
                   quiet(1)});
}

void tst_Server::persistence_data()
{
    QTest::addColumn<bool>("kill");
    QTest::addColumn<bool>("inMemory");
    QTest::addColumn<bool>("older");

    QTest::newRow("restart after SIGTERM") << false << false << false;
    // Also the start over the readiness block the killed server left.
    QTest::newRow("restart after SIGKILL") << true << false << false;
    QTest::newRow("in memory only") << false << true << false;
    // Values in a table with a row id and a column for files once kept in
    // pieces, as an earlier version wrote them.
    QTest::newRow("data folder of an earlier version") << false << false << true;
}

void tst_Server::persistence()
{
    QFETCH(bool, kill);
    QFETCH(bool, inMemory);
    QFETCH(bool, older);
    const QStringList arguments =
        inMemory ? QStringList{QStringLiteral("--in-memory")} : QStringList();
    QVERIFY(startServer(arguments));
    {
        RawClient client;
        QVERIFY(client.connectTo(m_server->port()));
        play({&client}, {{0, number(1, runtime("i"), 42), done(1)},
                         {0, BasicPackagePtr(new StringPackage(2, globals("s"), "kept")), done(2)},
                         {0, BasicPackagePtr(file(3, runtime("f"), 300000)), done(3)},
                         // Replaced and removed values must stay so.
                         {0, BasicPackagePtr(file(4, runtime("g"), 100000)), done(4)},
                         {0, number(5, runtime("g"), 8), done(5)},
                         {0, number(6, runtime("gone"), 1), done(6)},
                         {0, removal(7, runtime("gone")), done(7)}});
        if (QTest::currentTestFailed())
            return;
    }
    // The replaced file is gone from the disk once its replacement is answered.
    QCOMPARE(storedFiles().size(), inMemory ? 0 : 1);
    if (kill)
        m_server->kill();
    else
        QCOMPARE(m_server->terminate(), 0);
    if (!inMemory) {
        // As a server killed while a file arrived leaves it.
        QFile partial(m_dir->filePath(QStringLiteral("data/files/99.part")));
        QVERIFY(partial.open(QIODevice::WriteOnly) && partial.write("half") == 4);
    }
    if (older) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "older");
        db.setDatabaseName(m_dir->filePath(QStringLiteral("data/values.sqlite")));
        QVERIFY(db.open());
        QSqlQuery query(db);
        for (const char *sql :
             {"CREATE TABLE earlier(key TEXT PRIMARY KEY, type INTEGER NOT NULL, payload BLOB NOT "
              "NULL, global INTEGER NOT NULL, file_id INTEGER, file_size INTEGER NOT NULL, "
              "file_pieces INTEGER NOT NULL)",
              "INSERT INTO earlier SELECT *, 0 FROM vals", "DROP TABLE vals",
              "ALTER TABLE earlier RENAME TO vals"})
            QVERIFY2(query.exec(QLatin1String(sql)), qPrintable(query.lastError().text()));
        query.finish();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("older");
    }

    QVERIFY(m_server->start(arguments));
    RawClient client;
    QVERIFY(client.connectTo(m_server->port()));
    Script kept{{0, get(11, runtime("gone")), unknown(11, runtime("gone"))}};
    for (DataPackage *value : QList<DataPackage *>{
             new IntPackage(10, runtime("i"), 42),
             new StringPackage(10, globals("s"), QStringLiteral("kept")),
             file(10, runtime("f"), 300000), new IntPackage(10, runtime("g"), 8)}) {
        const BasicPackagePtr owned(value);
        kept << Step{0, get(10, value->ident()->clone()),
                     inMemory ? unknown(10, value->ident()->clone()) : describe(owned)};
    }
    play({&client}, kept);
    QCOMPARE(QFile::exists(m_dir->filePath(QStringLiteral("data/values.sqlite"))), !inMemory);
    QCOMPARE(storedFiles().size(), inMemory ? 0 : 1);
}

void tst_Server::tls()
{
    // Settings name another port: the command line's wins.
    const quint16 port = TestSupport::freePort();
    TestSupport::writeSettings(
        {{VdsProtocol::Settings::Encryption, 1}, {VdsProtocol::Settings::ServerPort, port}});
    QVERIFY(startServer());
    QVERIFY(port != 0 && m_server->port() != port);
    const QString certificatePath = m_dir->filePath(QStringLiteral("data/tls-certificate.pem"));
    const QList<QSslCertificate> generated = QSslCertificate::fromPath(certificatePath);
    QCOMPARE(generated.size(), 1);
    QVERIFY(
        generated[0].subjectAlternativeNames().values(QSsl::IpAddressEntry).contains("127.0.0.1"));

    for (int run = 0; run < 2; ++run) {
        RawClient client;
        QVERIFY(client.connectTo(m_server->port(), QHostAddress::LocalHost, true));
        QCOMPARE(client.socket().peerCertificate(), generated[0]);
        play({&client}, {{0, BasicPackagePtr(new IdentifyPackage(0, QStringLiteral("tls"), true)),
                          response(0, ResponsePackage::InitAcknowledged)},
                         {0, number(run + 1, runtime("t"), run), done(run + 1)}});
        // Generated once: a restart presents the same certificate.
        QCOMPARE(m_server->terminate(), 0);
        QVERIFY(m_server->start());
    }

    RawClient plain;
    QVERIFY(plain.connectTo(m_server->port()));
    plain.send(IdentifyPackage(0, QStringLiteral("plain"), true));
    QVERIFY(plain.waitForDisconnected());
    QCOMPARE(describe(plain.next()), QStringLiteral("nothing"));

    // A configured pair is used as it is, and nothing is generated.
    QCOMPARE(m_server->terminate(), 0);
    const QString otherDir = m_dir->filePath(QStringLiteral("other"));
    m_server = std::make_unique<ServerProcess>(otherDir);
    QVERIFY(
        m_server->start({QStringLiteral("--tls-cert"), certificatePath, QStringLiteral("--tls-key"),
                         m_dir->filePath(QStringLiteral("data/tls-key.pem"))}));
    RawClient configured;
    QVERIFY(configured.connectTo(m_server->port(), QHostAddress::LocalHostIPv6, true));
    QCOMPARE(configured.socket().peerCertificate(), generated[0]);
    QVERIFY(!QFile::exists(otherDir + QStringLiteral("/tls-certificate.pem")));
}

void tst_Server::fileWithoutRoom_data()
{
    QTest::addColumn<bool>("smallDisk");

    QTest::newRow("larger than the free space") << false;
    QTest::newRow("disk full while it arrives") << true;
}

void tst_Server::fileWithoutRoom()
{
    QFETCH(bool, smallDisk);
    const QString data = m_dir->filePath(QStringLiteral("data"));
    QVERIFY(QDir().mkpath(data));
    if (smallDisk) {
        // A mount namespace of this process alone (its server inherits it),
        // so the small file system is seen by no one else and goes with it.
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", QFile::encodeName(data).constData(), "tmpfs", 0, "size=8m") != 0)
            QSKIP("cannot mount a small file system here (needs root)");
    }
    const auto unmount = qScopeGuard([&] {
        if (smallDisk) {
            m_server.reset();
            ::umount2(QFile::encodeName(data).constData(), MNT_DETACH);
        }
    });
    // The file limit is not what refuses it.
    QVERIFY(startServer({QStringLiteral("--max-file-size"), QString::number(qint64(1) << 60)}));
    RawClient client;
    QVERIFY(client.connectTo(m_server->port()));
    QByteArray frame = frameOf(file(1, runtime("f"), 6 << 20));
    QString refusal;
    if (smallDisk) {
        // Room at first, none once part of it has arrived.
        client.sendBytes(frame.left(1 << 20));
        const QString files = data + QStringLiteral("/files");
        QTRY_VERIFY(!QDir(files).entryList({QStringLiteral("*.part")}, QDir::Files).isEmpty());
        QFile filler(data + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(64 << 10, 'x');
        for (int i = 0; i < 256 && filler.write(block) == block.size() && filler.flush(); ++i) {
        }
        filler.close();
        client.sendBytes(frame.mid(1 << 20));
        refusal = QStringLiteral("^Cannot store the file of \\d+ bytes after \\d+ of them: No "
                                 "space left on device \\(\\d+ bytes free in .*/files\\)$");
    } else {
        // Claims a petabyte: only the first chunk comes, and the refusal.
        QDataStream out(&frame, QIODevice::ReadWrite);
        out.device()->seek(8);
        out << (qint64(1) << 50);
        client.sendBytes(frame.left(BasicPackage::HeaderSize + (64 << 10)));
        refusal = QStringLiteral("^Not enough disk space for the file: \\d+ bytes, \\d+ bytes "
                                 "free in .*/files$");
    }
    const auto answer = client.next().dynamicCast<ResponsePackage>();
    QVERIFY(answer);
    QCOMPARE(answer->responseCode(), int(VdsProtocol::ResponseFailed));
    QVERIFY2(QRegularExpression(refusal).match(answer->message()).hasMatch(),
             qPrintable(answer->message()));
    QCOMPARE(storedFiles(), QStringList());
    if (smallDisk) {
        // The rest of the refused frame is dropped and the connection goes on.
        QVERIFY(QFile::remove(data + QStringLiteral("/filler")));
        play({&client}, {{0, number(2, runtime("k"), 1), done(2)}});
    }
}

void tst_Server::refusesSecondServer_data()
{
    QTest::addColumn<bool>("samePort");
    QTest::addColumn<bool>("sameFolder");

    QTest::newRow("same port") << true << false;
    QTest::newRow("another port") << false << false;
    QTest::newRow("same data folder") << false << true;
}

// Refused by the running server's readiness block before anything else is
// tried, naming that server, and never saying "listening" (start() waits for
// that line).
void tst_Server::refusesSecondServer()
{
    QFETCH(bool, samePort);
    QFETCH(bool, sameFolder);
    QVERIFY(startServer());

    ServerProcess second(
        m_dir->filePath(sameFolder ? QStringLiteral("data") : QStringLiteral("second")));
    QVERIFY(!second.start(
        {QStringLiteral("--port"), QString::number(samePort ? m_server->port() : 0)}));
    QVERIFY(second.waitForExit() > 0);
    const QByteArray message = QStringLiteral("another VelDataServer is already running (pid %1, "
                                              "port %2)")
                                   .arg(m_server->processId())
                                   .arg(m_server->port())
                                   .toUtf8();
    QVERIFY2(second.errorOutput().contains(message), second.errorOutput().constData());

    RawClient client;
    QVERIFY(client.connectTo(m_server->port()));
    QVERIFY(client.isQuiet());
    // Stopped, it lets go of its clients and of its block.
    QCOMPARE(m_server->terminate(), 0);
    QVERIFY(client.waitForDisconnected());
    QVERIFY(!QSharedMemory(QString::fromLatin1(VdsProtocol::ReadinessKey)).attach());
}

void tst_Server::unusableDataFolder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");

    QTest::newRow("a file in its place")
        << "file/data" << QByteArray()
        << "cannot create the data folder %1/file/data: %1/file is a file, not a folder";
    QTest::newRow("not writable")
        << "locked" << QByteArray()
        << "cannot write in the data folder %1/locked: no permission to create server.lock";
    QTest::newRow("database not a database")
        << "data" << QByteArray(8192, '\x5a')
        << "the database %1/data/values.sqlite is damaged (file is not a database";
    // A valid header over pages of garbage: only reading the pages finds it.
    QTest::newRow("damaged pages")
        << "data" << QByteArray("damaged pages")
        << "the database %1/data/values.sqlite is damaged (database disk image is malformed";
}

void tst_Server::unusableDataFolder()
{
    QFETCH(QString, folder);
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    const QString root = m_dir->path();
    QVERIFY(QDir(root).mkpath(QStringLiteral("locked")));
    QVERIFY(QFile(root + QStringLiteral("/file")).open(QIODevice::WriteOnly));
    // Root may write anywhere but into an immutable folder.
    const QString locked = root + QStringLiteral("/locked");
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
    const bool immutable =
        ::geteuid() == 0 && QProcess::execute(QStringLiteral("chattr"), {"+i", locked}) == 0;
    const auto unlock = qScopeGuard([&] {
        if (immutable)
            QProcess::execute(QStringLiteral("chattr"), {"-i", locked});
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    if (folder == QLatin1String("locked") && ::geteuid() == 0 && !immutable)
        QSKIP("running as root on a file system without chattr +i");

    const QString database = root + QStringLiteral("/data/values.sqlite");
    if (content == "damaged pages") {
        QVERIFY(startServer());
        RawClient client;
        QVERIFY(client.connectTo(m_server->port()));
        // A value of many pages.
        play({&client},
             {{0, BasicPackagePtr(new StringPackage(1, runtime("big"), QString(100000, 'v'))),
               done(1)}});
        QCOMPARE(m_server->terminate(), 0);
        QFile pages(database);
        QVERIFY(pages.open(QIODevice::ReadWrite));
        QVERIFY(pages.size() > 5 * 4096);
        for (qint64 page = 1; page < pages.size() / 4096; ++page) {
            QVERIFY(pages.seek(page * 4096));
            pages.write(QByteArray(2000, '\xff'));
        }
    } else if (!content.isEmpty()) {
        QVERIFY(QDir(root).mkpath(QStringLiteral("data")));
        QFile garbage(database);
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(content);
    }

    ServerProcess server(root + QLatin1Char('/') + folder);
    QVERIFY(!server.start());
    QVERIFY(server.waitForExit() > 0);
    const QString log = QString::fromUtf8(server.errorOutput());
    QVERIFY2(log.contains(message.arg(root)), qPrintable(log));
    if (!content.isEmpty()) {
        // The way out it names works: the server starts afresh afterwards.
        const QString command =
            log.mid(log.indexOf(QLatin1String("run: ")) + 5).section(QLatin1Char('\n'), 0, 0);
        QVERIFY2(command.startsWith(QLatin1String("mv '")), qPrintable(command));
        QVERIFY2(QProcess::execute(QStringLiteral("sh"), {"-c", command}) == 0, qPrintable(log));
        QVERIFY(QFile::exists(database + QStringLiteral(".damaged")));
        QVERIFY2(server.start(), server.errorOutput().constData());
    }
}

QTEST_MAIN(tst_Server)
#include "tst_server.moc"
