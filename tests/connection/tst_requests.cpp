#include "ClientHarness.h"
#include "FrameBytes.h"
#include "LogCapture.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

#include "IdentDataRuntime.h"
#include "ResponsePackage.h"

#include <QSslKey>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace TestSupport;

namespace {

const QString host = QStringLiteral("127.0.0.1");

// Runtime value a/b as a frame carries its identifier, in hex.
const QString runtimeAB =
    QStringLiteral("0000000e 00720075006e00740069006d0065 ") + text("a") + text("b");

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
