// End-to-end tests of the exported client against a scripted server on
// loopback: what each call puts on the wire, what it returns, and how it fails.

#include "FrameBytes.h"
#include "LogCapture.h"
#include "ScriptedServer.h"
#include "ServerProcess.h"
#include "TestSupport.h"

#include "ActionPackage.h"
#include "AutoUpdatePackage.h"
#include "CommandPackage.h"
#include "DoublePackage.h"
#include "FilePackage.h"
#include "IdentDataGlobals.h"
#include "IdentDataRuntime.h"
#include "IntPackage.h"
#include "ListTypes.h"
#include "ResponsePackage.h"
#include "StatusAgentPackage.h"
#include "StringListPackage.h"
#include "StringPackage.h"
#include "VariantPackage.h"
#include "VdsProtocol.h"
#include "VelDataClient.h"
#include "VelDataClientWrapper.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <memory>

#include <sys/socket.h>

using ClientCall = std::function<QVariant(VelDataClient &)>;
Q_DECLARE_METATYPE(ClientCall)
Q_DECLARE_METATYPE(QList<QByteArray>)

namespace {

const auto rt = [](const QString &key, const QString &uuid) -> IdentData * {
    return new IdentDataRuntime(key, uuid);
};
const auto gl = [](const QString &key) -> IdentData * { return new IdentDataGlobals(key); };

template <typename P, typename... Args>
QByteArray frame(Args &&...args)
{
    return FrameBytes::encode(P(std::forward<Args>(args)...));
}

} // namespace

class TestClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void requestsOnTheWire_data();
    void requestsOnTheWire();
    void packageIds();
    void statusAlwaysUsesIdOne();
    void globalsComeFromTheCacheOnly();
    void failuresAreReported_data();
    void failuresAreReported();
    void tlsWithoutPin();
    void withoutApplicationEveryCallFails();
    void slowFileIsNotTimedOut();
    void settingMistakesAreNamed_data();
    void settingMistakesAreNamed();
    void timeouts();
    void manyClientsLeaveNothingBehind();

private:
    std::unique_ptr<ScriptedServer> server;
    std::unique_ptr<VelDataClient> client;
};

// One server for the whole program: the settings file then keeps its port,
// and a rewrite within the file system's timestamp granularity cannot leave a
// client reading the previous test's port from Qt's settings cache.
void TestClient::initTestCase()
{
    ListTypes::registerStreamOperators();
    server = std::make_unique<ScriptedServer>();
}

void TestClient::init()
{
    server->reset();
    server->setReady(true);
    server->writeSettings();
    client = std::make_unique<VelDataClient>();
}

void TestClient::cleanup()
{
    client.reset();
    server->dropClients();
}

// Each row: a call on a fresh client (whose first request carries id 1) and
// the request frame it must send; the server's default script answers it.
void TestClient::requestsOnTheWire_data()
{
    QTest::addColumn<ClientCall>("call");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QVariant>("result");

    const auto row = [](const QString &name, const QByteArray &expected, const ClientCall &call) {
        QTest::newRow(qPrintable(name)) << call << expected << QVariant(true);
    };
    row("setString key only: empty uuid", frame<StringPackage>(1, rt("a", ""), "x"),
        [](VelDataClient &c) { return c.setString("a", QStringLiteral("x")); });
    row("setStringList key only: null uuid",
        frame<StringListPackage>(1, rt("a", QString()), QStringList{"p", "q"}),
        [](VelDataClient &c) {
            return c.setStringList("a", {"p", "q"});
        });
    const QVariant ints = QVariant::fromValue(QList<int>{7, 8});
    row("setVariant with int list", frame<VariantPackage>(1, rt("a", QString()), ints),
        [ints](VelDataClient &c) { return c.setVariant("a", ints); });
    // Ints, doubles and strings keep their type; anything else goes as text.
    const std::pair<QVariant, QByteArray> globalsValues[] = {
        {5, frame<IntPackage>(1, gl("g"), 5)},
        {2.5, frame<DoublePackage>(1, gl("g"), 2.5)},
        {"5", frame<StringPackage>(1, gl("g"), "5")},
        {true, frame<StringPackage>(1, gl("g"), "true")},
        {qlonglong(1) << 40, frame<StringPackage>(1, gl("g"), "1099511627776")},
        {QVariant(), frame<StringPackage>(1, gl("g"), QString())}};
    for (const auto &[value, expected] : globalsValues)
        row(QStringLiteral("setGlobalsVariant %1 %2").arg(value.typeName(), value.toString()),
            expected, [value](VelDataClient &c) { return c.setGlobalsVariant("g", value); });
    row("setDouble with another kind sends the unknown identifier",
        frame<DoublePackage>(1, new IdentData(), 1.0), [](VelDataClient &c) {
            return c.setDouble(static_cast<VDS_IDENT_CONSTS>(200000), "k", 1.0);
        });
    row("autoUpdate on, then off",
        frame<AutoUpdatePackage>(1, rt("a", "u"), int(AutoUpdatePackage::On)) +
            frame<AutoUpdatePackage>(2, rt("a", "u"), int(AutoUpdatePackage::Off)) +
            frame<IntPackage>(3, rt("z", ""), 0),
        [](VelDataClient &c) {
            c.autoUpdate("a", "u", true);
            c.autoUpdate("a", "u", false);
            return c.setInt("z", 0);
        });
    row("sendCommand",
        frame<CommandPackage>(1, "restart", QStringList{"now"}) +
            frame<IntPackage>(2, rt("z", ""), 0),
        [](VelDataClient &c) {
            c.sendCommand("restart", {"now"});
            return c.setInt("z", 0);
        });
    QByteArray gets;
    for (int id = 1; id <= 8; ++id)
        gets += frame<ActionPackage>(id, rt("a", "u"), int(ActionPackage::Get));
    QTest::newRow("every runtime getter names its uuid") << ClientCall([](VelDataClient &c) {
        QString text;
        double real = 0;
        int whole = 0;
        bool flag = false;
        QStringList texts;
        QList<double> reals;
        QList<int> wholes;
        QVariant any;
        return c.getString("a", "u", &text) + c.getDouble("a", "u", &real) +
               c.getInt("a", "u", &whole) + c.getBool("a", "u", &flag) +
               c.getStringList("a", "u", &texts) + c.getDoubleList("a", "u", &reals) +
               c.getIntList("a", "u", &wholes) + c.getVariant("a", "u", &any);
    }) << gets << QVariant(0);
}

void TestClient::requestsOnTheWire()
{
    QFETCH(ClientCall, call);
    QFETCH(QByteArray, expected);
    QFETCH(QVariant, result);

    QCOMPARE(call(*client), result);
    QByteArray sent;
    for (const auto &f : server->frames())
        if (f.type != BasicPackage::Identify)
            sent += f.bytes;
    QCOMPARE(sent.toHex(), expected.toHex());
}

// Ids run from 1 to 2147483646 and round again; a getter refusing a null
// output consumes one only where it would have sent a request.
void TestClient::packageIds()
{
    QCOMPARE(client->getString("a", nullptr), 0);
    QCOMPARE(client->getIntList("a", "b", nullptr), 0);
    QCOMPARE(client->lastErrorCode(), VdsErrorBadArgument);
    QCOMPARE(client->nextPackageId(), 1);
    QCOMPARE(client->getGlobalsInt("k", nullptr), -1);
    QCOMPARE(client->lastErrorCode(), VdsErrorBadArgument);
    QCOMPARE(client->lastError(), QString());
    QCOMPARE(client->getInt(VDS_IDENT_MQTT, "k", nullptr), -1);
    QCOMPARE(client->nextPackageId(), 4);
    QVERIFY(client->setInt("z", 0)); // id 5, so everything before it has arrived
    const auto sent = server->frames();
    QCOMPARE(sent.size(), 2);
    QCOMPARE(sent.at(0).type, int(BasicPackage::Identify));
    QCOMPARE(sent.at(1).packageId, 5);
    QCOMPARE(client->nextPackageId(), 6);
    int id = 0;
    for (qint64 i = 7; i <= 2147483646; ++i)
        id = client->nextPackageId();
    QCOMPARE(id, 2147483646);
    QCOMPARE(client->nextPackageId(), 1);
    QCOMPARE(client->nextPackageId(), 2);
}

void TestClient::statusAlwaysUsesIdOne()
{
    // A status message (id 1, never waited for) is answered by the script;
    // the first waited request, also id 1, must still wait for its own answer.
    // The change notification behind the answer shows, once its line is
    // logged, that the answer before it has been handled.
    server->setScript([this](const ScriptedServer::Frame &f) {
        if (f.type == BasicPackage::StatusAgent)
            return QList<QByteArray>{
                frame<ResponsePackage>(1, 4, QString()),
                frame<AutoUpdatePackage>(0, rt("handled", "u"), int(AutoUpdatePackage::Changed))};
        if (f.type == BasicPackage::Int)
            return QList<QByteArray>{frame<ResponsePackage>(f.packageId, 5, QStringLiteral("no"))};
        return server->defaultReply(f);
    });
    LogCapture log;
    client->setStatus(QStringLiteral("busy"));
    QTRY_VERIFY(!log.lines().filter(QStringLiteral("Delete Key: handled")).isEmpty());
    QVERIFY(!client->setInt("a", 1));
    QCOMPARE(client->lastError(), QStringLiteral("no"));
    const auto sent = server->frames();
    QCOMPARE(sent.at(1).bytes.toHex(),
             frame<StatusAgentPackage>(1, QStringLiteral("busy")).toHex());
    QCOMPARE(sent.at(2).packageId, 1);
    QCOMPARE(client->nextPackageId(), 2);
}

// Staying cached after a read, and leaving on a change notification, are
// the cache's part: tst_connection's readers and autoUpdate tables.
void TestClient::globalsComeFromTheCacheOnly()
{
    // The server pushes globals right after INIT, as the real one does.
    server->setScript([this](const ScriptedServer::Frame &f) {
        auto replies = server->defaultReply(f);
        if (f.type == BasicPackage::Identify)
            replies << frame<IntPackage>(0, gl("speed"), 88);
        return replies;
    });
    int speed = 0;
    // Not connected yet: the first read connects and finds nothing yet.
    QCOMPARE(client->getGlobalsInt("speed", &speed), -1);
    QTRY_COMPARE(client->getGlobalsInt("speed", &speed), 1);
    QCOMPARE(speed, 88);
    QCOMPARE(client->getGlobalsInt("unknown", &speed), 0);
    for (const auto &f : server->frames())
        QVERIFY2(f.type != BasicPackage::Action, "a globals read went to the server");
}

// A failed call's result, text and kind; a lost connection ends the wait at
// once. Each row's client then recovers, unless its settings forbid it.
void TestClient::failuresAreReported_data()
{
    QTest::addColumn<int>("requestType");
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::addColumn<ClientCall>("call");
    QTest::addColumn<QVariant>("result");
    QTest::addColumn<QString>("lastError");
    QTest::addColumn<int>("code");

    // The server sends `replies` to the request of type `type`.
    const auto row = [](const char *name, int type, const QList<QByteArray> &replies,
                        const QVariant &result, const QString &lastError, int code,
                        const ClientCall &call) {
        QTest::newRow(name) << type << replies << call << result << lastError << code;
    };
    const ClientCall set = [](VelDataClient &c) { return c.setInt("a", 1); };
    const ClientCall get = [](VelDataClient &c) {
        QString v;
        return c.getString("a", &v);
    };
    const QString closed = QStringLiteral("Connection to server closed: ");
    row("set, closed instead of answered", BasicPackage::Int, {ScriptedServer::hangUp()}, false,
        closed, VdsErrorNoConnection, set);
    row("get, reset instead of answered", BasicPackage::Action, {ScriptedServer::resetConnection()},
        -1, closed, VdsErrorNoConnection, get);
    // The first waited request of a fresh client carries id 1.
    const QByteArray file = frame<FilePackage>(1, rt("doc", QString()), QStringLiteral("f.bin"),
                                               QList<QByteArray *>{new QByteArray(200000, 'f')});
    row("file answer cut short", BasicPackage::Action, {file.left(70000), ScriptedServer::hangUp()},
        -1, closed, VdsErrorNoConnection, [](VelDataClient &c) -> QVariant {
            // The file already under the name stays as it was, and
            // nothing of the cut one is left beside it.
            const QString folder = QDir::tempPath() + QStringLiteral("/cut");
            QFile old(folder + QStringLiteral("/f.bin"));
            if (!QDir(folder).removeRecursively() || !QDir().mkpath(folder) ||
                !old.open(QIODevice::WriteOnly) || old.write("earlier") != 7)
                return QStringLiteral("no earlier file");
            old.close();
            const int result = c.getFile("doc", folder);
            const QStringList left = QDir(folder).entryList(QDir::Files | QDir::Hidden);
            if (left != QStringList{"f.bin"} || !old.open(QIODevice::ReadOnly) ||
                old.readAll() != "earlier")
                return QStringLiteral("left behind: ") + left.join(QLatin1Char(' '));
            return result;
        });
    const QString tooLarge = QStringLiteral("Request too large: 70 bytes, limit 64");
    row("refused, then reset: the refusal is reported", BasicPackage::Int,
        {frame<ResponsePackage>(1, 5, tooLarge), ScriptedServer::resetConnection()}, false,
        tooLarge, VdsErrorServerRefused, set);
    const QList<QByteArray> notFound{frame<ResponsePackage>(1, 4, QString())};
    row("not found", BasicPackage::Action, notFound, 0, QString(), VdsErrorNotFound, get);
    row("set answered not found is done", BasicPackage::Int, notFound, true, QString(),
        VdsErrorNotFound, set);
    const auto fileReply = [](const QString &name, QByteArray *content) {
        return QList<QByteArray>{
            frame<FilePackage>(1, rt("doc", QString()), name, QList<QByteArray *>{content})};
    };
    row("file cannot be saved", BasicPackage::Action, fileReply("f.bin", new QByteArray(10, 'f')),
        -1,
        "Cannot save the file: cannot open '/nonexistent/folder/f.bin': No such file or directory",
        VdsErrorFile, [](VelDataClient &c) { return c.getFile("doc", "/nonexistent/folder"); });
    row("file name leaving the folder", BasicPackage::Action,
        fileReply("../x", new QByteArray("x")), -1,
        "Cannot save the file: refused the file name \"../x\" the server sent", VdsErrorFile,
        [](VelDataClient &c) { return c.getFile("doc", QDir::tempPath()); });
    row("pinned certificate, no TLS", -1, {}, false,
        "Server certificate fingerprint is set but encryption is off: refusing an unencrypted "
        "connection",
        VdsErrorTlsRefused, [s = server.get()](VelDataClient &c) {
            s->writeSettings({{VdsProtocol::Settings::ServerCertificateSha256, QString(64, 'f')}});
            return c.setInt("a", 1);
        });
}

void TestClient::failuresAreReported()
{
    QFETCH(int, requestType);
    QFETCH(QList<QByteArray>, replies);
    QFETCH(ClientCall, call);
    QFETCH(QVariant, result);
    QFETCH(QString, lastError);
    QFETCH(int, code);

    server->setScript([this, requestType, replies](const ScriptedServer::Frame &f) {
        return f.type == requestType ? replies : server->defaultReply(f);
    });
    QCOMPARE(call(*client), result);
    QVERIFY2(client->lastError().startsWith(lastError), qPrintable(client->lastError()));
    if (!lastError.endsWith(QLatin1String(": ")))
        QCOMPARE(client->lastError(), lastError);
    QCOMPARE(int(client->lastErrorCode()), code);

    // A success leaves the text of the failure before; a client whose
    // settings pin a certificate without TLS keeps refusing.
    server->reset();
    QCOMPARE(client->setInt("after", 2), code != VdsErrorTlsRefused);
    QVERIFY(client->lastError().startsWith(lastError));
}

// With encryption on and no pin, a call goes through the real server's TLS.
void TestClient::tlsWithoutPin()
{
    QTemporaryDir dir;
    // The server refuses to start beside a live readiness block.
    server->setReady(false);
    TestSupport::writeSettings({{VdsProtocol::Settings::Encryption, 1}});
    ServerProcess tls(dir.path());
    QVERIFY2(tls.start(), tls.errorOutput().constData());
    TestSupport::writeSettings({{VdsProtocol::Settings::ServerPort, tls.port()},
                                {VdsProtocol::Settings::Encryption, 1},
                                {VdsProtocol::Settings::StartServerOnRequest, 0}});
    LogCapture log;
    VelDataClient secure;
    QVERIFY2(secure.setInt("a", 1), qPrintable(secure.lastError()));
    QVERIFY(log.contains(QStringLiteral(
        "VDS: Using VelDataClient with encryption! This is currently a experimental feature!")));
    QCOMPARE(tls.terminate(), 0);
}

// Run in a child process of its own (see main): a process without a
// QCoreApplication, which must neither wait out a limit nor hang at exit.
void TestClient::withoutApplicationEveryCallFails()
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--without-application")});
    QVERIFY2(child.waitForFinished(120000), "the client's destructor must return");
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    const QString error = QStringLiteral("VelDataClient needs a QCoreApplication: create one (for "
                                         "example in main()) before using the client");
    QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).split(QLatin1Char('\n')),
             QStringList({"setInt 0 1 " + error, "getInt -1 1 " + error, "getFile -1 1 " + error,
                          "establishConnection 0 1 " + error, ""}));
}

// A server that takes a large file slowly but steadily, for longer than the
// set limit: the limit counts silence, not the whole transfer.
void TestClient::slowFileIsNotTimedOut()
{
    QTemporaryFile file;
    const qint64 size = 8 * 1024 * 1024;
    QVERIFY(file.open() && file.resize(size) && file.flush());

    // Accepted sockets inherit a small receive buffer, and Qt reads no more
    // than the timer below takes: the bytes the client sees acknowledged are
    // then those the server has taken in.
    QTcpServer slow;
    const int window = 64 * 1024;
    QVERIFY(slow.listen(QHostAddress::LocalHost));
    QCOMPARE(
        ::setsockopt(int(slow.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &window, sizeof window),
        0);
    QTcpSocket *peer = nullptr;
    connect(&slow, &QTcpServer::newConnection, [&] {
        peer = slow.nextPendingConnection();
        peer->setReadBufferSize(window);
    });
    // About 640 kB/s, some twelve seconds for the file; the client's thread
    // turns the event loop while it waits.
    qint64 received = 0;
    QTimer pace;
    connect(&pace, &QTimer::timeout, [&] {
        received += peer ? peer->read(window).size() : 0;
        if (received >= size && peer->bytesAvailable() == 0) {
            peer->write(frame<ResponsePackage>(1, ResponsePackage::Done, QString()));
            pace.stop();
        }
    });
    pace.start(100);
    TestSupport::writeSettings({{VdsProtocol::Settings::ServerPort, slow.serverPort()}});
    VelDataClient slowClient;
    QVERIFY2(slowClient.setFile("big", "u", file.fileName()), qPrintable(slowClient.lastError()));
    QVERIFY2(received >= size, "answered before the whole file");
}

void TestClient::settingMistakesAreNamed_data()
{
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<QString>("warning");

    const QString port = VdsProtocol::Settings::ServerPort;
    QTest::newRow("port not a number")
        << QVariantMap{{port, "eleven"}}
        << "serverPort=\"eleven\" is not a whole number; the default 37073 is used";
    // A number, as an application sets it in its own process, keeps its type.
    QTest::newRow("port 0") << QVariantMap{{port, 0}}
                            << "serverPort=\"0\" is outside 1 to 65535; the default 37073 is used";
    QTest::newRow("port beyond 16 bits")
        << QVariantMap{{port, "70000"}}
        << "serverPort=\"70000\" is outside 1 to 65535; the default 37073 is used";
    QTest::newRow("switch not a number")
        << QVariantMap{{port, 1}, {VdsProtocol::Settings::Encryption, "true"}}
        << "encryption=\"true\" is not a whole number; the default 0 is used";
    QTest::newRow("unknown key") << QVariantMap{{port, 1}, {"serverport", 2}}
                                 << "unknown key \"serverport\" is ignored (known: serverPort, "
                                    "encryption, startServerOnRequest, serverCertificateSha256)";
}

// Read when a client sets up its connection; no request is made, so a
// mistaken port never reaches whatever listens on the default one.
void TestClient::settingMistakesAreNamed()
{
    QFETCH(QVariantMap, settings);
    QFETCH(QString, warning);
    TestSupport::writeSettings(settings);
    const QString file =
        qEnvironmentVariable("XDG_CONFIG_DIRS") + QStringLiteral("/Haltra/VelDataServer.conf");
    QTest::ignoreMessage(QtWarningMsg,
                         qPrintable(QStringLiteral("settings: %1: %2").arg(file, warning)));
    VelDataClient fresh;
    QCOMPARE(fresh.lastError(), QString());
}

static int runWithoutApplication()
{
    QTextStream out(stdout);
    VelDataClient client;
    const auto report = [&](const char *call, int result) {
        out << call << ' ' << result << ' ' << client.lastErrorCode() << ' ' << client.lastError()
            << '\n';
    };
    int value = 0;
    report("setInt", client.setInt("a", "b", 5));
    report("getInt", client.getInt("a", "b", &value));
    report("getFile", client.getFile("f", "b", QDir::tempPath()));
    report("establishConnection", client.establishConnection());
    return 0;
}

// A late answer to a timed-out get never ends a later wait: the next request
// reuses no id, and the stale value is not taken for a new one.
void TestClient::timeouts()
{
    server->setScript([this](const ScriptedServer::Frame &f) {
        return f.type == BasicPackage::Identify ? server->defaultReply(f) : QList<QByteArray>();
    });
    QElapsedTimer timer;
    timer.start();
    QString s;
    QCOMPARE(client->getString("a", &s), -1);
    QVERIFY(timer.elapsed() >= VdsProtocol::RequestTimeoutMs);
    QCOMPARE(client->lastError(), QStringLiteral("Timeout reached"));
    QCOMPARE(client->lastErrorCode(), VdsErrorTimeout);
    server->setScript([this](const ScriptedServer::Frame &f) { return server->defaultReply(f); });
    server->push(frame<ResponsePackage>(1, 2, QString()));
    QVERIFY(client->setInt("b", 2));
}

// Creating and destroying clients with answers in flight leaves no thread
// and no file descriptor behind.
void TestClient::manyClientsLeaveNothingBehind()
{
    client.reset();
    {
        VelDataClient warmUp; // lets Qt create its own lasting threads first
        QVERIFY(warmUp.setInt("w", 1));
    }
    // Commands get a late answer here, which arrives while clients go away.
    server->setScript([this](const ScriptedServer::Frame &f) {
        if (f.type == BasicPackage::Command)
            return QList<QByteArray>{frame<ResponsePackage>(f.packageId, 2, QString())};
        return server->defaultReply(f);
    });
    const auto countEntries = [](const char *dir) {
        return QDir(dir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
    };
    const int threads = countEntries("/proc/self/task");
    const int fds = countEntries("/proc/self/fd");
    for (int i = 0; i < 200; ++i) {
        VelDataClientWrapper wrapper;
        VelDataClient *c = wrapper.getClient();
        QCOMPARE(wrapper.getClient(), c);
        if (i % 2)
            c->autoUpdate("a", "b", true);
        else
            QVERIFY(c->setInt("a", i));
        c->sendCommand("late", {});
    }
    // Qt's own idle pool threads may expire meanwhile, so "no more than".
    QTRY_VERIFY(countEntries("/proc/self/task") <= threads);
    QTRY_VERIFY(countEntries("/proc/self/fd") <= fds);
}

int main(int argc, char *argv[])
{
    if (argc == 2 && qstrcmp(argv[1], "--without-application") == 0)
        return runWithoutApplication();
    QCoreApplication app(argc, argv);
    TestClient test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_client.moc"
