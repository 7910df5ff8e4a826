#include "ClientHarness.h"
#include "FrameBytes.h"
#include "LogCapture.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

#include "ActionPackage.h"
#include "AutoUpdatePackage.h"
#include "BoolPackage.h"
#include "Cache.h"
#include "CommandPackage.h"
#include "DataPackage.h"
#include "DoubleListPackage.h"
#include "DoublePackage.h"
#include "FilePackage.h"
#include "IdentDataGlobals.h"
#include "IdentDataOpcua.h"
#include "IdentDataRuntime.h"
#include "IntListPackage.h"
#include "IntPackage.h"
#include "ListTypes.h"
#include "ResponsePackage.h"
#include "StringListPackage.h"
#include "StringPackage.h"
#include "VariantPackage.h"
#include "VdsProtocol.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace TestSupport;

namespace {

const auto abData = []() -> IdentData * { return new IdentDataRuntime("a", "b"); };
const Identifier ab(abData());
const Identifier k(new IdentDataGlobals("k"));
const Identifier xy(new IdentDataRuntime("x", "y"));

QByteArray response(int id, int code, const QString &message = QString())
{
    return FrameBytes::encode(ResponsePackage(id, code, message));
}

// Runs the reader named `reader` and renders what it delivered as QDebug does.
QString readWith(PreProcessor &client, const QString &reader, const Identifier &ident, bool *ok)
{
    const auto run = [&](auto read, auto value) {
        *ok = (client.*read)(ident, &value);
        QString text;
        QDebug(&text).noquote() << value;
        return text.trimmed();
    };
    const QMap<QString, std::function<QString()>> readers{
        {"string", [&] { return run(&PreProcessor::readString, QString()); }},
        {"double", [&] { return run(&PreProcessor::readDouble, 0.0); }},
        {"int", [&] { return run(&PreProcessor::readInt32, 0); }},
        {"bool", [&] { return run(&PreProcessor::readBool, false); }},
        {"stringList", [&] { return run(&PreProcessor::readStringList, QStringList()); }},
        {"doubleList", [&] { return run(&PreProcessor::readDoubleList, QList<double>()); }},
        {"intList", [&] { return run(&PreProcessor::readInt32List, QList<qint32>()); }},
        {"dataType", [&] { return run(&PreProcessor::readDataType, 0); }},
        {"variant", [&] { return run(&PreProcessor::readVariant, QVariant()); }}};
    return readers.value(reader)();
}

} // namespace

class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void readers_data();
    void readers();
    void readFile_data();
    void readFile();
    void pushes_data();
    void pushes();
    void lostConnection_data();
    void lostConnection();
    void startForbidden_data();
    void startForbidden();

private:
    /// Connects a fresh client to a fresh server; false when that fails.
    bool start(bool acknowledgeInit = true);
    /// Sends `frames` to the client and waits until a response sent after
    /// them has been handled: everything before it has been too.
    bool deliver(const QByteArray &frames);

    std::optional<LogCapture> m_log;
    std::unique_ptr<ScriptedServer> m_server;
    std::unique_ptr<ClientHarness> m_harness;
    int m_sentinel = 1000;
};

void TestConnection::initTestCase()
{
    QVERIFY2(inSandbox(), "run through ctest, which gives the test its own TMPDIR and settings");
    qRegisterMetaType<Identifier>("Identifier");
    // The server side of these tests writes lists inside variants.
    ListTypes::registerStreamOperators();
}

void TestConnection::init()
{
    qunsetenv("VELDATASERVER_AUTOSTART_DISABLE");
    writeSettings({});
    m_log.emplace(); // the one before goes first, with the handler it installed
}

void TestConnection::cleanup()
{
    m_harness.reset();
    m_server.reset();
}

bool TestConnection::start(bool acknowledgeInit)
{
    m_server.reset(new ScriptedServer);
    // The client's requests stay unanswered: the tests answer them.
    m_server->setScript([acknowledgeInit](const ScriptedServer::Frame &frame) {
        const bool init = acknowledgeInit && frame.type == BasicPackage::Identify;
        return init ? QList<QByteArray>{response(0, 6)} : QList<QByteArray>();
    });
    m_harness.reset(new ClientHarness(QStringLiteral("127.0.0.1"), m_server->port()));
    m_harness->post([](PreProcessor &client) { client.establishConnection(); });
    ScriptedServer *server = m_server.get();
    ClientHarness *harness = m_harness.get();
    return QTest::qWaitFor([server, harness, acknowledgeInit] {
        return server->frames().size() == 1 &&
               (!acknowledgeInit || harness->client().initFinished());
    });
}

bool TestConnection::deliver(const QByteArray &frames)
{
    const int sentinel = ++m_sentinel;
    m_server->push(frames + response(sentinel, 2));
    return m_harness->waitFinished(sentinel) == 1;
}

void TestConnection::readers_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("reader");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("value");

    auto variant = [](const QVariant &value) {
        return FrameBytes::encode(VariantPackage(40, abData(), value));
    };
    const QByteArray string = FrameBytes::encode(StringPackage(40, abData(), "s"));
    const QByteArray number = FrameBytes::encode(IntPackage(40, abData(), -3));
    const QByteArray real = FrameBytes::encode(DoublePackage(40, abData(), 2.5));
    const QByteArray flag = FrameBytes::encode(BoolPackage(40, abData(), true));
    const QByteArray strings = FrameBytes::encode(StringListPackage(40, abData(), {"a", "b"}));
    const QByteArray reals = FrameBytes::encode(DoubleListPackage(40, abData(), {0.5, 2}));
    const QByteArray numbers = FrameBytes::encode(IntListPackage(40, abData(), {1, -1}));
    const QByteArray file =
        FrameBytes::encode(FilePackage(40, abData(), "f", {new QByteArray("content")}));
    const QByteArray get = FrameBytes::encode(ActionPackage(40, abData(), 1));
    const QByteArray notifyOn = FrameBytes::encode(AutoUpdatePackage(40, abData(), 1));

    QTest::newRow("string") << string << "string" << true << "s";
    QTest::newRow("a later answer replaces")
        << FrameBytes::encode(StringPackage(40, abData(), "one")) + string << "string" << true
        << "s";
    // Globals stay for the next read; values of other kinds are taken once.
    QTest::newRow("globals") << FrameBytes::encode(
                                    StringPackage(40, new IdentDataGlobals("k"), "g"))
                             << "string" << true << "g";
    QTest::newRow("opcua") << FrameBytes::encode(StringPackage(40, new IdentDataOpcua("k"), "o"))
                           << "string" << true << "o";
    QTest::newRow("string from variant") << variant(7) << "string" << true << "7";
    QTest::newRow("string from int") << number << "string" << false << "";
    QTest::newRow("double") << real << "double" << true << "2.5";
    QTest::newRow("double from variant") << variant("2.5") << "double" << true << "2.5";
    QTest::newRow("double from bad variant") << variant("abc") << "double" << false << "0";
    QTest::newRow("double from int") << number << "double" << false << "0";
    QTest::newRow("int") << number << "int" << true << "-3";
    QTest::newRow("int from variant") << variant("42") << "int" << true << "42";
    QTest::newRow("int from bad variant") << variant("abc") << "int" << false << "0";
    QTest::newRow("bool") << flag << "bool" << true << "true";
    QTest::newRow("bool from variant") << variant(true) << "bool" << false << "false";
    QTest::newRow("string list") << strings << "stringList" << true << "(a, b)";
    QTest::newRow("string list from variant")
        << variant(QStringList{"c", "d"}) << "stringList" << true << "(c, d)";
    QTest::newRow("double list") << reals << "doubleList" << true << "(0.5, 2)";
    QTest::newRow("double list from variant")
        << variant(QVariant::fromValue(QList<double>{0.5})) << "doubleList" << false << "()";
    QTest::newRow("int list") << numbers << "intList" << true << "(1, -1)";
    QTest::newRow("int list from variant")
        << variant(QVariant::fromValue(QList<qint32>{1})) << "intList" << false << "()";
    QTest::newRow("variant unchanged")
        << variant("x") << "variant" << true << "QVariant(QString, x)";
    QTest::newRow("variant of an int") << number << "variant" << true << "QVariant(int, -3)";
    QTest::newRow("variant of a double list")
        << reals << "variant" << true << "QVariant(QList<double>, )";
    QTest::newRow("variant of a file") << file << "variant" << true << "QVariant(Invalid)";

    // The codes run in the order of the type codes: the first, the last and
    // the packages outside pin them.
    const QList<QPair<const char *, QByteArray>> types = {
        {"101", string}, {"108", file}, {"109", variant(1)}, {"100", get}, {"100", notifyOn}};
    for (int i = 0; i < types.size(); ++i)
        QTest::addRow("data type %d: %s", i, types[i].first)
            << types[i].second << "dataType" << true << types[i].first;
}

// A failed read leaves the entry for a reader of the right type; a successful
// one consumes it, unless it holds globals.
void TestConnection::readers()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, reader);
    QFETCH(bool, ok);
    QFETCH(QString, value);

    QVERIFY(start());
    QVERIFY(deliver(answer));
    QCOMPARE(m_harness->finished(40).value(0), 1);

    FrameBytes::Header header;
    QVERIFY(FrameBytes::readHeader(answer, &header));
    const auto data =
        FrameBytes::decode(answer.left(int(BasicPackage::HeaderSize + header.payloadSize)))
            .dynamicCast<DataPackage>();
    const Identifier ident(data->ident()->clone());
    const bool kept = !ok || ident.typeIndex() == VdsProtocol::GlobalsKind;
    bool delivered = false;
    QCOMPARE(readWith(m_harness->client(), reader, ident, &delivered), value);
    QCOMPARE(delivered, ok);
    QCOMPARE(m_harness->client().cache()->contains(ident), kept);
    if (kept && ok)
        QCOMPARE(readWith(m_harness->client(), reader, ident, &delivered), value);
}

void TestConnection::readFile_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("place");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("error");

    // `place` is what the file's place holds before; %1 in `error` is the path.
    const QByteArray file =
        FrameBytes::encode(FilePackage(41, abData(), "f.txt", {new QByteArray("hello")}));
    QTest::newRow("saved") << file << "" << true << "";
    QTest::newRow("not a file") << FrameBytes::encode(StringPackage(41, abData(), "hello")) << ""
                                << false << "";
    QTest::newRow("into a FIFO with a reader") << file << "FIFO with a reader" << true << "";
    QTest::newRow("a FIFO nobody reads")
        << file << "FIFO" << false << "'%1' is a FIFO that nobody reads";
    // More than the pipe holds, so the save still writes when the reader
    // leaves.
    QTest::newRow("a FIFO whose reader leaves")
        << FrameBytes::encode(FilePackage(41, abData(), "f.txt", {new QByteArray(200000, 'p')}))
        << "FIFO with a reader that leaves" << false << "cannot write '%1': Broken pipe";
    QTest::newRow("through a symbolic link")
        << file << "link" << false
        << "'%1' is a symbolic link, and a received file is not written through one";
    QTest::newRow("into a full device")
        << FrameBytes::encode(FilePackage(41, abData(), "full", {new QByteArray("hello")}))
        << "/dev" << false << "cannot write '%1': No space left on device";
}

void TestConnection::readFile()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, place);
    QFETCH(bool, ok);
    QFETCH(QString, error);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString directory = place == QLatin1String("/dev") ? place : dir.path();
    QString path = directory + QStringLiteral("/f.txt");
    int reader = -1;
    if (place == QLatin1String("/dev")) {
        path = QStringLiteral("/dev/full");
        if (!QFileInfo::exists(path))
            QSKIP("no /dev/full here");
    } else if (place.startsWith(QLatin1String("FIFO"))) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        // Opened without waiting for a writer, it counts as a reader at once.
        if (place != QLatin1String("FIFO"))
            reader = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
    } else if (place == QLatin1String("link")) {
        QVERIFY(QFile::link(dir.filePath("victim"), path));
    }
    // Written through or refused, never replaced.
    struct stat before = {};
    const bool existed = ::lstat(QFile::encodeName(path).constData(), &before) == 0;
    QVERIFY(start());
    QVERIFY(deliver(answer));

    std::thread leaving;
    if (place.endsWith(QLatin1String("leaves"))) {
        // Takes one byte once the save has begun to write, and goes.
        leaving = std::thread([reader] {
            pollfd ready{reader, POLLIN, 0};
            ::poll(&ready, 1, 60000);
            char byte = 0;
            (void)::read(reader, &byte, 1);
            ::close(reader);
        });
        reader = -1;
    }
    QString reason;
    const bool saved = m_harness->client().readFile(ab, directory, &reason);
    if (leaving.joinable())
        leaving.join();
    QCOMPARE(saved, ok);
    QCOMPARE(reason, error.isEmpty() ? error : error.arg(path));
    QCOMPARE(m_harness->client().cache()->contains(ab), !ok);
    if (place.isEmpty()) {
        QFile written(path);
        QCOMPARE(written.open(QIODevice::ReadOnly), ok);
        if (ok)
            QCOMPARE(written.readAll(), QByteArray("hello"));
    } else if (reader >= 0) {
        char received[16] = {};
        QCOMPARE(::read(reader, received, sizeof received), ssize_t(5));
        ::close(reader);
        QCOMPARE(QByteArray(received), QByteArray("hello"));
    }
    struct stat after = {};
    QCOMPARE(::lstat(QFile::encodeName(path).constData(), &after) == 0, existed || ok);
    if (existed)
        QCOMPARE(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
    QVERIFY(!QFileInfo::exists(dir.filePath("victim")));
}

// What a package the server sends unasked does, once a runtime value (ab)
// and a global (k) are cached and before INIT is acknowledged: `cached`
// names what stays, `notified` the change announced.
void TestConnection::pushes_data()
{
    QTest::addColumn<QByteArray>("pushed");
    QTest::addColumn<QString>("cached");
    QTest::addColumn<QList<int>>("finished");
    QTest::addColumn<QString>("notified");

    const auto command = [](const QString &text) {
        return FrameBytes::encode(CommandPackage(71, text, {}));
    };
    const auto change = [](IdentData *ident, int mode) {
        return FrameBytes::encode(AutoUpdatePackage(71, ident, mode));
    };
    QTest::newRow("clear, as sent") << command("Clear Clients Cache") << "" << QList<int>() << "";
    QTest::newRow("clear, lower case")
        << command("clear clients cache") << "" << QList<int>() << "";
    QTest::newRow("other command") << command("clear cache") << "ab k" << QList<int>() << "";
    QTest::newRow("trailing blank")
        << command("clear clients cache ") << "ab k" << QList<int>() << "";
    QTest::newRow("change of a cached value")
        << change(abData(), 3) << "k" << QList<int>() << ab.toString();
    QTest::newRow("change of another value")
        << change(new IdentDataRuntime("x", "y"), 3) << "ab k" << QList<int>() << xy.toString();
    QTest::newRow("mode 1 is a value package")
        << change(new IdentDataRuntime("x", "y"), 1) << "ab k xy" << QList<int>{1} << "";
    // Codes 2, 4 and 5 reach the caller: tst_client checks them end to end.
    const auto code = [](int value) { return response(71, value, QStringLiteral("boom")); };
    QTest::newRow("code 3") << code(3) << "ab k" << QList<int>{1} << "";
    QTest::newRow("code 6 acknowledges INIT") << code(6) << "ab k" << QList<int>() << "";
    for (int ignored : {1, 0, 7, -10})
        QTest::addRow("code %d", ignored) << code(ignored) << "ab k" << QList<int>() << "";
}

void TestConnection::pushes()
{
    QFETCH(QByteArray, pushed);
    QFETCH(QString, cached);
    QFETCH(QList<int>, finished);
    QFETCH(QString, notified);

    const QMap<QString, Identifier> idents{{"ab", ab}, {"k", k}, {"xy", xy}};
    QVERIFY(start(false));
    QVERIFY(deliver(FrameBytes::encode(StringPackage(60, abData(), "v")) +
                    FrameBytes::encode(IntPackage(61, k.cloneData(), 1))));
    QVERIFY(deliver(pushed));

    QStringList kept;
    for (auto it = idents.begin(); it != idents.end(); ++it) {
        if (m_harness->client().cache()->contains(it.value()))
            kept << it.key();
    }
    QCOMPARE(kept.join(QLatin1Char(' ')), cached);
    QCOMPARE(m_harness->finished(71), finished);
    // Besides, only the two values and the two sentinels.
    QCOMPARE(m_harness->allFinished().size(), finished.size() + 4);
    QCOMPARE(m_harness->client().lastError(), QString());
    QCOMPARE(m_harness->client().initFinished(), pushed == response(71, 6, QStringLiteral("boom")));
    QStringList updates;
    for (const Identifier &ident : m_harness->autoUpdates())
        updates << ident.toString();
    QCOMPARE(updates, notified.isEmpty() ? QStringList() : QStringList{notified});
    if (notified == ab.toString())
        QVERIFY(m_log->contains(QStringLiteral("VDS: Delete Key: a; UUID: b from cache")));
}

void TestConnection::lostConnection_data()
{
    QTest::addColumn<bool>("ownClose");
    QTest::addColumn<QList<QList<int>>>("finished");
    QTest::addColumn<QString>("lastError");

    // Ids 20 (a set) and 21 (a file request) are waited for; 22 (a command)
    // and 24 (a change subscription) are not.
    QTest::newRow("waiting requests fail at once, others are not reported")
        << false << QList<QList<int>>{{-9}, {-9}, {}, {}}
        << "Connection to server closed: The remote host closed the connection";
    QTest::newRow("the client's own close reports nothing")
        << true << QList<QList<int>>{{}, {}, {}, {}} << QString();
}

void TestConnection::lostConnection()
{
    QFETCH(bool, ownClose);
    QFETCH(QList<QList<int>>, finished);
    QFETCH(QString, lastError);

    QVERIFY(start());
    QVERIFY(deliver(FrameBytes::encode(IntPackage(80, k.cloneData(), 1))));
    int value = 0;
    QVERIFY(m_harness->client().readInt32(k, &value));
    QVERIFY(m_harness->client().cache()->contains(k));
    m_harness->post([](PreProcessor &client) {
        client.setInt32(ab, 1, 20);
        client.getFile(ab, QString(), 21);
        client.sendCommand(QStringLiteral("x"), {}, 22);
        client.autoUpdate(ab, true, 24);
    });
    QVERIFY(m_server->waitForRequests(4));
    m_server->push(FrameBytes::encode(StringPackage(91, abData(), "lost")).left(20));
    if (ownClose) {
        m_harness->post([](PreProcessor &client) { client.disconnectFromServer(); });
    } else {
        m_server->closeClients();
    }
    QTRY_COMPARE(m_harness->client().socketState(), QAbstractSocket::UnconnectedState);
    // Queued behind whatever the close made the worker emit.
    m_harness->post([](PreProcessor &client) { emit client.dataFinished(999, 7); });
    QCOMPARE(m_harness->waitFinished(999), 7);

    QList<QList<int>> codes;
    for (int id : {20, 21, 22, 24})
        codes << m_harness->finished(id);
    QCOMPARE(codes, finished);
    QCOMPARE(m_harness->client().lastError(), lastError);
    QVERIFY(!m_harness->client().cache()->contains(k));
    // Logged once; a warning only when the connection was lost.
    const QString closed = QStringLiteral("VDS: Connection to server closed: ");
    QCOMPARE(m_log->lines().filter(closed).size(), 1);
    QCOMPARE(m_log->warnings().filter(closed).size(), ownClose ? 0 : 1);

    // Every connection starts with INIT, and the frame cut by the loss of
    // the first does not reach into the next one's bytes.
    m_harness->post([](PreProcessor &client) { client.setInt32(ab, 2, 30); });
    QVERIFY(m_server->waitForRequests(5));
    m_server->push(response(30, 4));
    QCOMPARE(m_harness->waitFinished(30), 2);
    QVERIFY(m_harness->finished(91).isEmpty());
    const QString init = plain(frame(15, 0, text(QCoreApplication::applicationFilePath()) + "01"));
    const QList<ScriptedServer::Frame> frames = m_server->frames();
    QCOMPARE(frames.size(), 7);
    QCOMPARE(hex(frames[0].bytes), init);
    QCOMPARE(hex(frames[5].bytes), init);
    QCOMPARE(frames[5].connection, 2);
    QCOMPARE(frames[6].connection, 2);
    QCOMPARE(m_log->lines().count(QStringLiteral("VDS: Connection SUCCSESSFUL")), 2);
    QVERIFY(m_log->contains(QStringLiteral("VDS: Socket is connected (Ip: 127.0.0.1, Port: %1)")
                                .arg(m_server->port())));
}

void TestConnection::startForbidden_data()
{
    QTest::addColumn<QString>("startServerOnRequest"); // empty: not in the settings
    QTest::addColumn<QByteArray>("environment");       // null: not set
    QTest::addColumn<bool>("byEnvironment");           // which of the two refusals

    QTest::newRow("settings forbid") << "0" << QByteArray() << false;
    QTest::newRow("settings win over environment") << "0" << QByteArray("1") << false;
    QTest::newRow("environment forbids") << "" << QByteArray("1") << true;
    QTest::newRow("environment empty") << "1" << QByteArray("") << true;
    QTest::newRow("environment 0") << "1" << QByteArray("0") << true;
}

void TestConnection::startForbidden()
{
    QFETCH(QString, startServerOnRequest);
    QFETCH(QByteArray, environment);
    QFETCH(bool, byEnvironment);

    if (!startServerOnRequest.isEmpty())
        writeSettings({{VdsProtocol::Settings::StartServerOnRequest, startServerOnRequest}});
    if (!environment.isNull())
        qputenv("VELDATASERVER_AUTOSTART_DISABLE", environment);
    const QString error = byEnvironment ? QStringLiteral("Not allowed to start VelDataServer "
                                                         "(VELDATASERVER_AUTOSTART_DISABLE)")
                                        : QStringLiteral("Not allowed to start VelDataServer");
    const QString line =
        byEnvironment ? QStringLiteral("VDS: VelDataServer autostart was disabled by "
                                       "VELDATASERVER_AUTOSTART_DISABLE")
                      : QStringLiteral("VDS: ensureConnection: Server not running and client is "
                                       "not allowed to start it");

    ScriptedServer server(false);
    ClientHarness harness(QStringLiteral("127.0.0.1"), server.port());
    harness.post([](PreProcessor &p) { p.setString(ab, "v", 5); });

    QCOMPARE(harness.waitFinished(5), -9);
    QCOMPARE(harness.client().lastError(), error);
    QVERIFY(m_log->contains(line));
    QVERIFY(m_log->contains(
        QStringLiteral("VDS: VelDataServer is not running. Try to start it manually")));
    // A sentinel queued behind the request: once it is answered, a second code
    // or a connection would have shown.
    harness.post([](PreProcessor &p) { p.getValue(ab, 6); });
    QCOMPARE(harness.waitFinished(6), -9);
    QCOMPARE(harness.finished(5), QList<int>{-9});
    QCOMPARE(server.connectionCount(), 0);
}

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
