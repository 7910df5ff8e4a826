#include "ClientHarness.h"
#include "FrameBytes.h"
#include "LogCapture.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

#include "IdentDataGlobals.h"
#include "IdentDataRuntime.h"
#include "ResponsePackage.h"

#include <QSslKey>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace TestSupport;

using Request = std::function<void(PreProcessor &)>;
Q_DECLARE_METATYPE(Request)

namespace {

const QString host = QStringLiteral("127.0.0.1");
const QString kindRuntime = QStringLiteral("0000000e 00720075006e00740069006d0065 ");
const QString runtimeAB = kindRuntime + text("a") + text("b");
const QString globalsK = QStringLiteral("0000000e 0067006c006f00620061006c0073 ") + text("k");

Identifier ab()
{
    return Identifier(new IdentDataRuntime(QStringLiteral("a"), QStringLiteral("b")));
}

// Answers every request with the response code `code` under its package id.
ScriptedServer::Script answering(int code)
{
    return [code](const ScriptedServer::Frame &frame) {
        return QList<QByteArray>{FrameBytes::encode(ResponsePackage(
            frame.packageId, frame.type == BasicPackage::Identify ? 6 : code, QString()))};
    };
}

} // namespace

class TestRequests : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void requestBytes_data();
    void requestBytes();
    void initAfterEveryConnect();
    void startForbidden_data();
    void startForbidden();
    void readyServerIgnoresStartPolicy();
    void connectRefused();
    void tlsRequestCompletes();
    void tlsAgainstPlainServer();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<LogCapture> m_log;
};

void TestRequests::initTestCase()
{
    QVERIFY2(inSandbox(), "run through ctest, which gives the test its own TMPDIR and settings");
    QVERIFY(m_dir.isValid());
    qRegisterMetaType<Identifier>("Identifier");
    m_log.reset(new LogCapture);
}

void TestRequests::init()
{
    qunsetenv("VELDATASERVER_AUTOSTART_DISABLE");
    writeSettings({});
    m_log->clear();
}

void TestRequests::requestBytes_data()
{
    QTest::addColumn<Request>("request");
    QTest::addColumn<QString>("expected");

    QFile file(m_dir.filePath(QStringLiteral("data.bin")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("xyz");
    file.close();
    const QString filePath = file.fileName();
    const Identifier k(new IdentDataGlobals(QStringLiteral("k")));

    QTest::newRow("getValue") << Request([](PreProcessor &p) { p.getValue(ab(), 7); })
                              << frame(1, 7, runtimeAB + "00000001");
    QTest::newRow("getDataType") << Request([](PreProcessor &p) { p.getDataType(ab(), 7); })
                                 << frame(1, 7, runtimeAB + "00000001");
    QTest::newRow("getFile") << Request([](PreProcessor &p) { p.getFile(ab(), "/tmp", 7); })
                             << frame(1, 7, runtimeAB + "00000001");
    QTest::newRow("get globals") << Request([k](PreProcessor &p) { p.getValue(k, 3); })
                                 << frame(1, 3, globalsK + "00000001");
    QTest::newRow("removeValue") << Request([](PreProcessor &p) { p.removeValue(ab(), 7); })
                                 << frame(1, 7, runtimeAB + "00000002");
    QTest::newRow("setString") << Request([](PreProcessor &p) {
        p.setString(ab(), QString(QChar(0xe9)), 7);
    }) << frame(3, 7, runtimeAB + "00000002 00e9");
    QTest::newRow("setString null")
        << Request([](PreProcessor &p) { p.setString(ab(), QString(), 7); })
        << frame(3, 7, runtimeAB + "ffffffff");
    QTest::newRow("setDouble") << Request([](PreProcessor &p) { p.setDouble(ab(), 1.0, 7); })
                               << frame(4, 7, runtimeAB + "3ff0000000000000");
    QTest::newRow("setInt32") << Request([](PreProcessor &p) { p.setInt32(ab(), -1, 7); })
                              << frame(5, 7, runtimeAB + "ffffffff");
    QTest::newRow("setInt32 without identifier")
        << Request([](PreProcessor &p) { p.setInt32(Identifier(nullptr), 5, 7); })
        << frame(5, 7, "00000005");
    QTest::newRow("setBool") << Request([](PreProcessor &p) { p.setBool(ab(), true, 7); })
                             << frame(6, 7, runtimeAB + "01");
    QTest::newRow("setStringList") << Request([](PreProcessor &p) {
        p.setStringList(ab(), {"a", "b"}, 7);
    }) << frame(7, 7, runtimeAB + "00000002" + text("a") + text("b"));
    QTest::newRow("setDoubleList")
        << Request([](PreProcessor &p) { p.setDoubleList(ab(), {0.5}, 7); })
        << frame(8, 7, runtimeAB + "00000001 3fe0000000000000");
    QTest::newRow("setInt32List") << Request([](PreProcessor &p) {
        p.setInt32List(ab(), {1, -1}, 7);
    }) << frame(9, 7, runtimeAB + "00000002 00000001 ffffffff");
    QTest::newRow("setVariant int")
        << Request([](PreProcessor &p) { p.setVariant(ab(), QVariant(7), 7); })
        << frame(11, 7, runtimeAB + "00000002 00 00000007");
    // A list inside a variant goes out as a user type under its type name,
    // which needs the stream operators that setVariant registers.
    QTest::newRow("setVariant int list")
        << Request([](PreProcessor &p) {
               p.setVariant(ab(), QVariant::fromValue(QList<qint32>{1, 2}), 7);
           })
        << frame(11, 7,
                 runtimeAB + "00000400 00 0000000b 514c6973743c696e743e00 "
                             "00000002 00000001 00000002");
    QTest::newRow("setFile") << Request([filePath](PreProcessor &p) {
        p.setFile(ab(), filePath, 7);
    }) << frame(10, 7, runtimeAB + text("data.bin") + "78797a");
    QTest::newRow("setFile missing")
        << Request([](PreProcessor &p) { p.setFile(ab(), "/nonexistent/dir/missing.txt", 7); })
        << frame(10, 7, runtimeAB + text("missing.txt"));
    QTest::newRow("sendCommand") << Request([](PreProcessor &p) {
        p.sendCommand("run", {"x", "y"}, 7);
    }) << frame(12, 7, text("run") + "00000002" + text("x") + text("y"));
    QTest::newRow("sendCommand no params")
        << Request([](PreProcessor &p) { p.sendCommand("c", {}, 7); })
        << frame(12, 7, text("c") + "00000000");
    QTest::newRow("autoUpdate on") << Request([](PreProcessor &p) { p.autoUpdate(ab(), true, 7); })
                                   << frame(2, 7, runtimeAB + "00000001");
    QTest::newRow("autoUpdate off")
        << Request([](PreProcessor &p) { p.autoUpdate(ab(), false, 7); })
        << frame(2, 7, runtimeAB + "00000002");
    QTest::newRow("setStatus") << Request([](PreProcessor &p) { p.setStatus("ok", 1); })
                               << frame(16, 1, text("ok"));
}

void TestRequests::requestBytes()
{
    QFETCH(Request, request);
    QFETCH(QString, expected);

    ScriptedServer server(ScriptedServer::Replies::InitOnly);
    ClientHarness harness(host, server.port());
    harness.post(request);
    QVERIFY(server.waitForRequests(1));

    const QList<ScriptedServer::Frame> requests = server.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(hex(requests.first().bytes), hex(bytes(expected)));
    // Success is the server's to report; the request itself reports nothing.
    QVERIFY(harness.allFinished().isEmpty());
}

void TestRequests::initAfterEveryConnect()
{
    ScriptedServer server(ScriptedServer::Replies::InitOnly);
    ClientHarness harness(host, server.port());
    const QString init = frame(15, 0, text(QCoreApplication::applicationFilePath()) + "01");

    harness.post([](PreProcessor &p) { p.setInt32(ab(), 1, 1); });
    QVERIFY(server.waitForRequests(1));
    QTRY_VERIFY(harness.client().initFinished());
    QCOMPARE(harness.client().socketState(), QAbstractSocket::ConnectedState);
    QVERIFY(m_log->contains(
        QStringLiteral("VDS: Socket is connected (Ip: 127.0.0.1, Port: %1)").arg(server.port())));

    server.closeClients();
    QTRY_COMPARE(harness.client().socketState(), QAbstractSocket::UnconnectedState);
    harness.post([](PreProcessor &p) { p.setInt32(ab(), 2, 2); });
    QVERIFY(server.waitForRequests(2));

    const QList<ScriptedServer::Frame> frames = server.frames();
    QCOMPARE(frames.size(), 4);
    QCOMPARE(hex(frames[0].bytes), hex(bytes(init)));
    QCOMPARE(frames[1].packageId, 1);
    QCOMPARE(frames[2].connection, 2);
    QCOMPARE(hex(frames[2].bytes), hex(bytes(init)));
    QCOMPARE(frames[3].connection, 2);
    QCOMPARE(frames[3].packageId, 2);
    QVERIFY(harness.client().initFinished());
    QCOMPARE(m_log->lines().count(QStringLiteral("VDS: Connection SUCCSESSFUL")), 2);
}

void TestRequests::startForbidden_data()
{
    QTest::addColumn<QString>("startServerOnRequest"); // empty: not in the settings
    QTest::addColumn<bool>("envSet");
    QTest::addColumn<QByteArray>("envValue");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("line");

    const QString registryError = QStringLiteral("Not allowed to start VelDataServer");
    const QString registryLine =
        QStringLiteral("VDS: ensureConnection: Server not running and client is not allowed to "
                       "start it");
    const QString envError =
        QStringLiteral("Not allowed to start VelDataServer (VELDATASERVER_AUTOSTART_DISABLE)");
    const QString envLine = QStringLiteral(
        "VDS: VelDataServer autostart was disabled by VELDATASERVER_AUTOSTART_DISABLE");

    QTest::newRow("settings forbid")
        << "0" << false << QByteArray() << registryError << registryLine;
    QTest::newRow("settings win over environment")
        << "0" << true << QByteArray("1") << registryError << registryLine;
    QTest::newRow("environment forbids") << "" << true << QByteArray("1") << envError << envLine;
    QTest::newRow("environment empty") << "1" << true << QByteArray("") << envError << envLine;
    QTest::newRow("environment 0") << "1" << true << QByteArray("0") << envError << envLine;
}

void TestRequests::startForbidden()
{
    QFETCH(QString, startServerOnRequest);
    QFETCH(bool, envSet);
    QFETCH(QByteArray, envValue);
    QFETCH(QString, error);
    QFETCH(QString, line);

    if (!startServerOnRequest.isEmpty())
        writeSettings({{QStringLiteral("startServerOnRequest"), startServerOnRequest}});
    if (envSet)
        qputenv("VELDATASERVER_AUTOSTART_DISABLE", envValue);

    ScriptedServer server(ScriptedServer::Replies::InitOnly, false);
    ClientHarness harness(host, server.port());
    harness.post([](PreProcessor &p) { p.setString(ab(), "v", 5); });

    QCOMPARE(harness.waitFinished(5), -9);
    QCOMPARE(harness.client().lastError(), error);
    QVERIFY(m_log->contains(line));
    QVERIFY(m_log->contains(
        QStringLiteral("VDS: VelDataServer is not running. Try to start it manually")));
    // A sentinel queued behind the request: once it is answered, a second code
    // or a connection would have shown.
    harness.post([](PreProcessor &p) { p.getValue(ab(), 6); });
    QCOMPARE(harness.waitFinished(6), -9);
    QCOMPARE(harness.finished(5), QList<int>{-9});
    QCOMPARE(server.connectionCount(), 0);
}

void TestRequests::readyServerIgnoresStartPolicy()
{
    writeSettings({{QStringLiteral("startServerOnRequest"), QStringLiteral("0")}});
    qputenv("VELDATASERVER_AUTOSTART_DISABLE", "1");
    ScriptedServer server(ScriptedServer::Replies::InitOnly);
    server.setScript(answering(2));
    ClientHarness harness(host, server.port());
    harness.post([](PreProcessor &p) { p.setString(ab(), "v", 5); });
    QCOMPARE(harness.waitFinished(5), 1);
    QVERIFY(harness.client().lastError().isEmpty());
}

void TestRequests::connectRefused()
{
    ScriptedServer server(ScriptedServer::Replies::InitOnly);
    const quint16 port = server.port();
    server.close();
    ClientHarness harness(host, port);
    harness.post([](PreProcessor &p) { p.getValue(ab(), 4); });

    QCOMPARE(harness.waitFinished(4), -9);
    QCOMPARE(harness.client().lastError(),
             QStringLiteral("FAILED to connect to the VelDataServer: Connection refused"));
    QVERIFY(m_log->contains(QStringLiteral("VDS: FAILED to connect to the VelDataServer: "
                                           "Connection refused")));
    QVERIFY(m_log->contains(
        QStringLiteral("VDS: Socket still not connected. Something failed! (Ip: 127.0.0.1, "
                       "Port : %1)")
            .arg(port)));
}

void TestRequests::tlsRequestCompletes()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("Qt has no TLS backend here");
    QSslCertificate certificate;
    QSslKey key;
    QString error;
    QVERIFY2(makeCertificate(m_dir.path(), &certificate, &key, &error), qPrintable(error));
    writeSettings({{QStringLiteral("encryption"), QStringLiteral("1")}});

    ScriptedServer server(ScriptedServer::Replies::InitOnly);
    server.useTls(certificate, key);
    server.setScript(answering(2));
    ClientHarness harness(host, server.port());
    harness.post([](PreProcessor &p) { p.setInt32(ab(), -1, 9); });

    QCOMPARE(harness.waitFinished(9), 1);
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(hex(server.requests().first().bytes), hex(bytes(frame(5, 9, runtimeAB + "ffffffff"))));
    QVERIFY(harness.client().initFinished());
    QVERIFY(m_log->contains(QStringLiteral(
        "VDS: Using VelDataClient with encryption! This is currently a experimental feature!")));
    QVERIFY(m_log->contains(QStringLiteral("VDS: encrypted")));
}

void TestRequests::tlsAgainstPlainServer()
{
    writeSettings({{QStringLiteral("encryption"), QStringLiteral("1")}});
    ScriptedServer server(ScriptedServer::Replies::InitOnly);
    ClientHarness harness(host, server.port());
    harness.post([](PreProcessor &p) { p.setInt32(ab(), 1, 10); });

    QCOMPARE(harness.waitFinished(10, 15000), -9);
    QVERIFY(server.frames().isEmpty());
    QCOMPARE(harness.client().socketState(), QAbstractSocket::UnconnectedState);
    QVERIFY(m_log->contains(QStringLiteral("VDS: Connection SUCCSESSFUL")));
    QVERIFY(m_log->contains(
        QStringLiteral("VDS: Socket still not connected. Something failed! (Ip: 127.0.0.1, "
                       "Port : %1)")
            .arg(server.port())));
}

QTEST_GUILESS_MAIN(TestRequests)
#include "tst_requests.moc"
