#include "ClientHarness.h"
#include "LogCapture.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

#include "IdentDataRuntime.h"
#include "VdsProtocol.h"

#include <QtTest>

#include <signal.h>
#include <unistd.h>

using namespace TestSupport;

/// Runs from its own build folder, next to a stand-in VelDataServer, so that
/// the program-path rule finds the stand-in and never a real server.
class TestAutostart : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void requestStartsServerAndWaitsForReadiness();
    void readinessAsQSharedMemorySeesIt();

private:
    QString reportPath() const { return qEnvironmentVariable("VDS_TEST_SANDBOX") + "/standin.txt"; }

    qint64 m_standInPid = 0;
};

void TestAutostart::initTestCase()
{
    QVERIFY2(inSandbox(), "run through ctest, which gives the test its own TMPDIR and settings");
    qRegisterMetaType<Identifier>("Identifier");
    QVERIFY2(QFileInfo(QCoreApplication::applicationDirPath() + "/VelDataServer").isExecutable(),
             "the stand-in VelDataServer belongs next to the test");
    qunsetenv("VELDATASERVER_AUTOSTART_DISABLE");
    writeSettings({});
    qputenv("VDS_STANDIN_REPORT", QFile::encodeName(reportPath()));
}

void TestAutostart::cleanup()
{
    if (m_standInPid <= 0)
        return;
    ::kill(pid_t(m_standInPid), SIGTERM);
    m_standInPid = 0;
    QVERIFY2(QTest::qWaitFor([] { return !PreProcessor::isServerReady(); }),
             "the stand-in kept its readiness block");
}

void TestAutostart::requestStartsServerAndWaitsForReadiness()
{
    QFile::remove(reportPath());
    QVERIFY2(!PreProcessor::isServerReady(), "a readiness block is left from an earlier run");
    LogCapture log;
    ScriptedServer server(false);
    ClientHarness harness(QStringLiteral("127.0.0.1"), server.port());

    harness.post([](PreProcessor &client) {
        client.setInt32(Identifier(new IdentDataRuntime("a", "b")), 5, 1);
    });
    // About 10 s of polling plus the connect are the most a start may take.
    const bool sent = server.waitForRequests(1, 20000);

    QFile report(reportPath());
    if (report.open(QIODevice::ReadOnly))
        m_standInPid = report.readLine().trimmed().toLongLong();
    QVERIFY2(m_standInPid > 0, "the stand-in did not start");
    const QString standIn = QCoreApplication::applicationDirPath() + "/VelDataServer";
    QCOMPARE(QString::fromLocal8Bit(report.readLine().trimmed()), standIn);
    // It holds none of the application's channels, and a terminal's signals
    // to the application's session do not reach it.
    QCOMPARE(report.readLine().trimmed(), QByteArray("/dev/null /dev/null /dev/null"));
    const qint64 session = report.readLine().trimmed().toLongLong();
    QVERIFY(session > 0);
    QVERIFY(session != ::getsid(0));

    QVERIFY(sent);
    QCOMPARE(server.frames().value(1).type, int(BasicPackage::Int)); // after INIT
    QVERIFY(PreProcessor::isServerReady());
    QVERIFY(log.contains("VDS: Start " + standIn + " by Client"));
    // Logged only when a poll before the last one found the block.
    QVERIFY(log.contains("VDS: VelDataServer.exe successful started."));
    QCOMPARE(harness.waitFinished(1), 1);
}

// The check reads the segment behind Qt's key itself; it must agree with
// QSharedMemory both ways, and clear a block whose holder was killed.
void TestAutostart::readinessAsQSharedMemorySeesIt()
{
    const QString key = QLatin1String(VdsProtocol::ReadinessKey);
    QVERIFY(!PreProcessor::isServerReady());
    {
        QSharedMemory held(key);
        QVERIFY(held.create(1));
        QVERIFY(PreProcessor::isServerReady());
        QSharedMemory other(key);
        QVERIFY2(other.attach(), "the check must leave a live block as it was");
        other.detach();
        QVERIFY(PreProcessor::isServerReady());
    }
    QVERIFY(!PreProcessor::isServerReady());

    QProcess holder;
    holder.start(QCoreApplication::applicationDirPath() + "/VelDataServer", QStringList());
    QVERIFY(holder.waitForStarted());
    QVERIFY2(QTest::qWaitFor([] { return PreProcessor::isServerReady(); }),
             "the stand-in made no readiness block");
    holder.kill();
    QVERIFY(holder.waitForFinished());
    QSharedMemory orphan(key);
    QVERIFY2(!PreProcessor::isServerReady(), "a killed holder's block is not readiness");
    QVERIFY2(!orphan.attach(), "the killed holder's block is removed");
}

QTEST_GUILESS_MAIN(TestAutostart)
#include "tst_autostart.moc"
