// Faults with real processes: the server killed while calls wait or stream
// in, stopped during a file transfer, or refusing a file over its frame
// limit, the readiness block a killed server leaves behind, a connection cut
// in the middle of a frame, several load processes against one server, the
// output of a server's starter going away, and the two servers a client's
// first call starts at once. The client is the exported library, used as
// applications use it.

#include "CuttingProxy.h"
#include "ReliabilitySandbox.h"
#include "ServerProcess.h"
#include "TestSupport.h"
#include "VelDataClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <functional>
#include <memory>

namespace {

// Generous bounds on the client's own limits (5000 ms a request, 2000 ms to
// connect, about 10 s for an autostarted server to get ready), for slow and
// sanitizer builds alike.
constexpr qint64 RequestLimitMs = 5000;
constexpr qint64 AutostartLimitMs = 10100 + 2000 + RequestLimitMs;

QString loadClient()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/vds_loadclient");
}

QStringList portArgument(quint16 port)
{
    return {QStringLiteral("--port"), QString::number(port)};
}

const QString LostConnection = QStringLiteral("^Connection to server closed: .+");

/// Stops the server `pid` and runs `fault` from the event loop once a
/// request waits unread at it on `port`, or once `boundMs` have passed since
/// the stop (a request the server had read just before it stopped leaves
/// nothing unread): the fault meets a request in flight however slow the
/// machine is. Its timers end with it, so nothing fires after the test.
class StopThenFault
{
public:
    StopThenFault(qint64 pid, quint16 port, std::function<void()> fault)
        : m_pid(pid_t(pid)), m_port(port), m_fault(std::move(fault))
    {
        m_delay.setSingleShot(true);
        QObject::connect(&m_delay, &QTimer::timeout, [this] { stop(); });
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            if (!ServerProcess::hasUnreadInput(m_port) && !m_bound.hasExpired())
                return;
            m_poll.stop();
            m_fault();
        });
    }
    /// Stops the server after `delayMs` (at once for 0).
    void stopAfter(int delayMs, int boundMs)
    {
        m_boundMs = boundMs;
        if (delayMs == 0)
            stop();
        else
            m_delay.start(delayMs);
    }

private:
    void stop()
    {
        ::kill(m_pid, SIGSTOP);
        m_bound = QDeadlineTimer(m_boundMs);
        m_poll.start(10);
    }

    const pid_t m_pid;
    const quint16 m_port;
    const std::function<void()> m_fault;
    int m_boundMs = 0;
    QDeadlineTimer m_bound;
    QTimer m_delay;
    QTimer m_poll;
};

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void killedWhileCallWaits();
    void killedWhileSetsStreamIn();
    void transferEndsAtOnce_data();
    void transferEndsAtOnce();
    void connectionCutInsideFrame_data();
    void connectionCutInsideFrame();
    void loadFromSeveralProcesses();
    void startedServerOutlivesItsStarter();
    void firstCallStartsOneServer();

private:
    /// The one server running in the sandbox, or 0.
    static qint64 onlyServer();

    std::unique_ptr<ReliabilitySandbox> m_sandbox;
};

void TestFaults::initTestCase()
{
    if (!ReliabilitySandbox::isIsolated())
        QSKIP("needs the folders ctest gives it (run through ctest)");
    m_sandbox = std::make_unique<ReliabilitySandbox>();
}

void TestFaults::cleanup()
{
    ReliabilitySandbox::stopServers();
}

qint64 TestFaults::onlyServer()
{
    // Both threads of a client may have started a server at once; the one that
    // came second ends by itself as soon as it finds the first.
    const QDeadlineTimer deadline(10000);
    QList<qint64> running = ReliabilitySandbox::servers();
    while (running.size() > 1 && !deadline.hasExpired()) {
        QThread::msleep(20);
        running = ReliabilitySandbox::servers();
    }
    return running.size() == 1 ? running.first() : 0;
}

void TestFaults::killedWhileCallWaits()
{
    const quint16 port = TestSupport::freePort();
    TestSupport::writeSettings({{"serverPort", port}, {"startServerOnRequest", 0}});
    ServerProcess server(m_sandbox->path(QStringLiteral("killed-data")));
    QVERIFY(server.start(portArgument(port)));
    VelDataClient client;
    QVERIFY(client.setInt(QStringLiteral("before"), QStringLiteral("kill"), 1));

    // Stopped, the server reads nothing: the next call waits until the kill.
    StopThenFault kill(server.processId(), port, [&server] { server.kill(); });
    kill.stopAfter(0, 30000);
    // The loss ends the wait, not the time limit.
    QVERIFY(!client.setInt(QStringLiteral("during"), QStringLiteral("kill"), 2));
    QVERIFY2(QRegularExpression(LostConnection).match(client.lastError()).hasMatch(),
             qPrintable(client.lastError()));
    // The kill left the readiness block behind, with nobody attached.
    QCOMPARE(ReliabilitySandbox::readinessBlockAttachments(), 0);

    // Started by hand over that block, a server cleans it up and runs; the
    // same client object then carries on.
    QVERIFY2(server.start(portArgument(port)), server.errorOutput().constData());
    QCOMPARE(ReliabilitySandbox::readinessBlockAttachments(), 1);
    int value = 0;
    QCOMPARE(client.getInt(QStringLiteral("before"), QStringLiteral("kill"), &value), 1);
    QCOMPARE(value, 1);
    QVERIFY(client.setInt(QStringLiteral("after"), QStringLiteral("kill"), 3));
    QCOMPARE(client.getInt(QStringLiteral("after"), QStringLiteral("kill"), &value), 1);
    QCOMPARE(value, 3);
}

void TestFaults::killedWhileSetsStreamIn()
{
    const quint16 port = TestSupport::freePort();
    TestSupport::writeSettings({{"serverPort", port}, {"startServerOnRequest", 1}});
    // The folder a server started without arguments uses, so that the one the
    // client starts later finds the database of this one.
    auto server = std::make_unique<ServerProcess>(m_sandbox->defaultDataDir());
    QVERIFY(server->start(portArgument(port)));

    // Stopped first, so that the kill always meets a set in flight; one the
    // server had read before it stopped waits 2 s, well within its limit.
    StopThenFault kill(server->processId(), port, [&server] { server->kill(); });
    kill.stopAfter(500, 2000);
    VelDataClient writer;
    const QString uuid = QStringLiteral("persist");
    int acknowledged = 0;
    const QDeadlineTimer bound(60000);
    while (acknowledged < 1000000 && !bound.hasExpired() &&
           writer.setInt(QStringLiteral("v%1").arg(acknowledged), uuid, acknowledged))
        ++acknowledged;
    QVERIFY(acknowledged > 0);
    QVERIFY2(QRegularExpression(LostConnection).match(writer.lastError()).hasMatch(),
             qPrintable(writer.lastError()));
    QCOMPARE(ReliabilitySandbox::readinessBlockAttachments(), 0);
    server.reset();

    // The next call probes the left-over block: it looks ready, and the
    // probe's detach removes it. The request thread and the caller's thread
    // both probe; when the request thread's attempt came first it met the dead
    // port (-9 within the connect limit), otherwise a server was started and
    // the call went through.
    QElapsedTimer elapsed;
    elapsed.start();
    const bool first = writer.setInt(QStringLiteral("first"), uuid, 1);
    QVERIFY2(elapsed.elapsed() < AutostartLimitMs, qPrintable(QString::number(elapsed.elapsed())));
    QVERIFY2(first ||
                 writer.lastError() == QStringLiteral("FAILED to connect to the VelDataServer: "
                                                      "Connection refused"),
             qPrintable(writer.lastError()));
    qInfo("first call after the kill: %s after %lld ms",
          first ? "succeeded" : qPrintable(writer.lastError()), elapsed.elapsed());

    // By the next call at the latest a server has been started: the
    // program next to this test, on the configured port, with the database
    // of the killed one, where every acknowledged value is.
    QVERIFY(writer.setInt(QStringLiteral("second"), uuid, 2));
    QVERIFY(onlyServer() > 0);
    QCOMPARE(ReliabilitySandbox::readinessBlockAttachments(), 1);
    int lost = 0;
    for (int i = 0; i < acknowledged; ++i) {
        int value = -1;
        if (writer.getInt(QStringLiteral("v%1").arg(i), uuid, &value) != 1 || value != i)
            ++lost;
    }
    qInfo("%d sets acknowledged before the kill, %d lost", acknowledged, lost);
    QCOMPARE(lost, 0);
}

void TestFaults::transferEndsAtOnce_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("terminate");
    QTest::addColumn<QString>("lastError");

    QTest::newRow("SIGTERM during put-file")
        << "put-file" << QStringList() << true << LostConnection;
    QTest::newRow("SIGTERM during get-file")
        << "get-file" << QStringList() << true << LostConnection;
    // The frame limit counts the 16-byte header and the refusal names payload
    // bytes; a file has a limit of its own, on its content.
    const QStringList limit{QStringLiteral("--max-frame-size"), QStringLiteral("1048576")};
    const QString refusal = QStringLiteral("^Request too large: \\d+ bytes, limit 1048560$");
    QTest::newRow("put-file over the server's file limit")
        << "put-file" << (limit + QStringList{QStringLiteral("--max-file-size"), "1048576"})
        << false << QStringLiteral("^File too large: 33554432 bytes, limit 1048576$");
    // Not streamed: the client finds out from the server's close that the
    // connection is done, and the next call takes a new one.
    QTest::newRow("string over the server's frame limit") << "set" << limit << false << refusal;
}

// A transfer that the server ends fails at once with what ended it, and the
// same client object carries on.
void TestFaults::transferEndsAtOnce()
{
    QFETCH(QString, call);
    QFETCH(QStringList, arguments);
    QFETCH(bool, terminate);
    QFETCH(QString, lastError);

    static int row = 0;
    const QString tag = QString::number(++row);
    const quint16 port = TestSupport::freePort();
    TestSupport::writeSettings({{"serverPort", port}, {"startServerOnRequest", 0}});
    ServerProcess server(m_sandbox->path(QStringLiteral("transfer-data-") + tag));
    QVERIFY(server.start(portArgument(port) + arguments));
    const QString source = m_sandbox->path(QStringLiteral("transfer-") + tag + ".bin");
    {
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray block(1 << 20, 'v');
        for (int i = 0; i < 32; ++i)
            QCOMPARE(file.write(block), qint64(block.size()));
    }
    VelDataClient client;
    QString uuid = QStringLiteral("transfer");
    QVERIFY(call == "get-file" ? client.setFile(QStringLiteral("big"), uuid, source)
                               : client.setInt(QStringLiteral("before"), uuid, 1));

    const pid_t pid = pid_t(server.processId());
    StopThenFault end(pid, port, [pid] {
        ::kill(pid, SIGTERM);
        ::kill(pid, SIGCONT);
    });
    if (terminate)
        end.stopAfter(0, 30000);
    const QString target = m_sandbox->path(QStringLiteral("fetched-") + tag);
    QVERIFY(QDir().mkpath(target));
    bool done = false;
    if (call == "get-file")
        done = client.getFile(QStringLiteral("big"), uuid, target) == 1;
    else if (call == "put-file")
        done = client.setFile(QStringLiteral("sent"), uuid, source);
    else
        done = client.setString(QStringLiteral("long"), uuid, QString(1 << 20, QLatin1Char('s')));
    QVERIFY(!done);
    QVERIFY2(QRegularExpression(lastError).match(client.lastError()).hasMatch(),
             qPrintable(client.lastError()));

    if (terminate) {
        QCOMPARE(server.waitForExit(), 0);
        QVERIFY(server.start(portArgument(port) + arguments));
    }
    QVERIFY2(client.setInt(QStringLiteral("after"), uuid, 2), qPrintable(client.lastError()));
    int value = 0;
    QCOMPARE(client.getInt(QStringLiteral("after"), uuid, &value), 1);
    QCOMPARE(value, 2);
}

void TestFaults::connectionCutInsideFrame_data()
{
    QTest::addColumn<int>("cutAfter");

    QTest::newRow("inside the header") << 9;
    QTest::newRow("inside the payload") << -1;
}

void TestFaults::connectionCutInsideFrame()
{
    QFETCH(int, cutAfter);
    ServerProcess server(m_sandbox->path(QStringLiteral("cut-data")));
    QVERIFY(server.start({QStringLiteral("--in-memory")}));
    CuttingProxy proxy(server.port());
    QVERIFY(proxy.port() != 0);
    TestSupport::writeSettings({{"serverPort", proxy.port()}, {"startServerOnRequest", 0}});

    VelDataClient client;
    const QString uuid = QStringLiteral("cut");
    const QString text = QString(30000, QLatin1Char('t')) + QStringLiteral("end");
    QVERIFY(client.setString(QStringLiteral("text"), uuid, text));
    QVERIFY(client.setInt(QStringLiteral("number"), uuid, 42));

    proxy.cutNextFrame(cutAfter);
    QString read;
    QCOMPARE(client.getString(QStringLiteral("text"), uuid, &read), -1);
    QCOMPARE(proxy.cuts(), 1);
    QVERIFY2(QRegularExpression(LostConnection).match(client.lastError()).hasMatch(),
             qPrintable(client.lastError()));

    // Reconnected, the client reads whole frames again: nothing of the cut
    // one is taken for the start of the next.
    int number = 0;
    QCOMPARE(client.getInt(QStringLiteral("number"), uuid, &number), 1);
    QCOMPARE(number, 42);
    QCOMPARE(client.getString(QStringLiteral("text"), uuid, &read), 1);
    QCOMPARE(read, text);

    // A file cut off leaves nothing of itself, and the file already under
    // its name as it was.
    const QString folder = m_sandbox->path(QStringLiteral("cut-files"));
    QVERIFY(QDir().mkpath(folder));
    QFile file(folder + QStringLiteral("/f.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(200000, 'f')) == 200000);
    file.close();
    QVERIFY(client.setFile(QStringLiteral("file"), uuid, file.fileName()));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("earlier") == 7);
    file.close();
    proxy.cutNextFrame(cutAfter);
    QCOMPARE(client.getFile(QStringLiteral("file"), uuid, folder), -1);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"f.bin"});
    QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll() == "earlier");
}

void TestFaults::loadFromSeveralProcesses()
{
    ServerProcess server(m_sandbox->path(QStringLiteral("load-data")));
    QVERIFY(server.start());
    TestSupport::writeSettings({{"serverPort", server.port()}, {"startServerOnRequest", 0}});

    constexpr int Processes = 4;
    const QString threads = QStringLiteral("4");
    const QString pairs = QString::number(VDS_LOAD_PAIRS);
    std::vector<std::unique_ptr<QProcess>> loads;
    for (int p = 0; p < Processes; ++p) {
        loads.push_back(std::make_unique<QProcess>());
        loads.back()->start(loadClient(),
                            {QStringLiteral("p%1").arg(p), threads, pairs, QStringLiteral("150")});
    }
    const QDeadlineTimer deadline(180000);
    for (auto &load : loads) {
        QVERIFY(load->waitForFinished(int(qMax<qint64>(1, deadline.remainingTime()))));
        const QByteArray summary = load->readAllStandardOutput().trimmed();
        qInfo("%s", summary.constData());
        QVERIFY2(load->exitStatus() == QProcess::NormalExit && load->exitCode() == 0,
                 summary + load->readAllStandardError());
    }
}

void TestFaults::startedServerOutlivesItsStarter()
{
    TestSupport::writeSettings(
        {{"serverPort", TestSupport::freePort()}, {"startServerOnRequest", 1}});
    {
        // A server a client starts writes to that client's output: here pipes
        // to this test, closed once the starter has ended.
        QProcess starter;
        starter.setProcessChannelMode(QProcess::MergedChannels);
        starter.start(loadClient(),
                      {QStringLiteral("starter"), QStringLiteral("1"), QStringLiteral("1")});
        QVERIFY(starter.waitForFinished(30000));
        QVERIFY2(starter.exitCode() == 0, starter.readAll().constData());
    }
    const qint64 pid = onlyServer();
    QVERIFY(pid > 0);

    // Connecting makes the server log a line into the closed pipe.
    VelDataClient client;
    QVERIFY2(client.setInt(QStringLiteral("after"), QStringLiteral("starter"), 1),
             qPrintable(client.lastError()));
    int value = 0;
    QCOMPARE(client.getInt(QStringLiteral("after"), QStringLiteral("starter"), &value), 1);
    QCOMPARE(value, 1);
    QCOMPARE(onlyServer(), pid);
}

void TestFaults::firstCallStartsOneServer()
{
    // With no server running, a client's request thread and calling thread
    // both find none and both start one, on the same port and data folder:
    // one of them must come up, every time.
    for (int round = 0; round < 10; ++round) {
        m_sandbox->useDataHome(QStringLiteral("first-call-%1").arg(round));
        TestSupport::writeSettings(
            {{"serverPort", TestSupport::freePort()}, {"startServerOnRequest", 1}});
        {
            VelDataClient client;
            QVERIFY2(client.setInt(QStringLiteral("first"), QStringLiteral("call"), round),
                     qPrintable(client.lastError()));
        }
        // Stopping the one that came up releases the readiness block; the
        // other one, if it is still there, ends by itself.
        for (qint64 pid : ReliabilitySandbox::servers())
            ::kill(pid_t(pid), SIGTERM);
        const QDeadlineTimer deadline(10000);
        while (ReliabilitySandbox::readinessBlockAttachments() != -1 && !deadline.hasExpired())
            QThread::msleep(10);
    }
    m_sandbox->useDataHome(QStringLiteral("data-home"));
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
