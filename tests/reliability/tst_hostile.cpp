// Hostile peers: clients that send garbage, oversize or unfinished frames, or
// thousands of connections to the real server; and a server whose certificate
// is not the pinned one. (What a hostile server's absurd sizes cost the client
// is the decoder's and the package readers' to bound: tests/wire.)

#include "FrameBytes.h"
#include "IdentDataRuntime.h"
#include "IdentifyPackage.h"
#include "ReliabilitySandbox.h"
#include "ServerProcess.h"
#include "StringPackage.h"
#include "TestSupport.h"
#include "VelDataClient.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <limits>
#include <memory>
#include <vector>

#include <sys/resource.h>

namespace {

// In the KiB of /proc/<pid>/status; far below what the inputs announce.
// Sanitizers add their shadow and the freed memory they hold back.
constexpr qint64 ServerMemoryBoundKiB = VDS_SERVER_MEMORY_BOUND_MIB * 1024;

using Sockets = std::vector<std::unique_ptr<QTcpSocket>>;

/// Opens a loopback connection and sends `bytes` on it; the socket goes into
/// `sockets` in any case. False when connecting or sending fails.
bool openConnection(quint16 port, const QByteArray &bytes, Sockets *sockets)
{
    sockets->push_back(std::make_unique<QTcpSocket>());
    QTcpSocket &socket = *sockets->back();
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(ServerProcess::StartTimeoutMs) ||
        socket.write(bytes) != bytes.size())
        return false;
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(ServerProcess::StartTimeoutMs))
            return false;
    }
    return true;
}

} // namespace

class TestHostile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!TestSupport::inSandbox())
            QSKIP("needs the folders ctest gives it (run through ctest)");
        ReliabilitySandbox::enter();
    }

    void init()
    {
        // A server reads the settings when it starts, before a test has written
        // its own: none are left from an earlier test or run (TLS among them).
        TestSupport::writeSettings({});
    }

    void cleanup() { ServerProcess::stopStarted(QDir::tempPath()); }

    void hostileClientsLeaveServerServing()
    {
        ServerProcess server(ReliabilitySandbox::path(QStringLiteral("hostile-data")));
        QVERIFY(server.start());
        TestSupport::writeSettings({{"serverPort", server.port()}, {"startServerOnRequest", 0}});
        const qint64 pid = server.processId();

        VelDataClient good;
        int round = 0;
        // A server still chewing on hostile bytes may answer a good call late
        // (much later under sanitizers); serving means it answers one within a
        // minute, however slow the machine.
        auto serving = [&good, &round] {
            const QDeadlineTimer patience(60000);
            do {
                int value = -1;
                ++round;
                if (good.setInt(QStringLiteral("alive"), QStringLiteral("good"), round) &&
                    good.getInt(QStringLiteral("alive"), QStringLiteral("good"), &value) == 1 &&
                    value == round)
                    return true;
            } while (!patience.hasExpired());
            return false;
        };
        QVERIFY(serving());
        const qint64 baseline = ReliabilitySandbox::memoryKiB(pid, "VmHWM");

        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("random bytes from seed %u", seed);
        QRandomGenerator random(seed);
        auto noise = [&random](int size) {
            QByteArray bytes(size, Qt::Uninitialized);
            random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
            return bytes;
        };
        // Frames that pass the header check and hand random payloads to the
        // package readers, 200 of them a connection.
        auto randomFrames = [&random, &noise] {
            QByteArray bytes;
            for (int i = 0; i < 200; ++i) {
                const int size = random.bounded(512);
                bytes += FrameBytes::header(random.bounded(1, 16), i, size) + noise(size);
            }
            return bytes;
        };

        // Qt 5 listens with a backlog of 50: paced by the good client's calls,
        // the connections never wait for the kernel to retry them. Those calls
        // also take in what the server logs, lest it block on a full pipe.
        Sockets hostile;
        auto attack = [&hostile, &serving, &server](const QByteArray &bytes, bool mustArrive) {
            // The server may drop a connection before it has taken all of it.
            const bool arrived = openConnection(server.port(), bytes, &hostile);
            const bool served = hostile.size() % 40 != 0 || serving();
            return served && (arrived || !mustArrive);
        };
        int badInputs = 0;
        for (int i = 0; i < 50; ++i, ++badInputs)
            QVERIFY(attack(noise(64 * 1024), false));
        for (int i = 0; i < 50; ++i, badInputs += 200)
            QVERIFY(attack(randomFrames(), false));

        // Headers beyond the frame limit, just within it, and absurd or negative;
        // half a frame of 16 MiB followed by silence.
        const QByteArray frame = FrameBytes::encode(
            StringPackage(1, new IdentDataRuntime(QStringLiteral("hostile"), QStringLiteral("u")),
                          QString(8 << 20, QLatin1Char('h'))));
        for (const QByteArray &bytes :
             {FrameBytes::header(3, 1, qint64(1) << 62),
              FrameBytes::header(3, 1, (qint64(1) << 30) - 16),
              FrameBytes::header(3, 1, -1) + QByteArray(16, 'x'),
              FrameBytes::header(3, 1, std::numeric_limits<qint64>::min()),
              frame.left(frame.size() / 2)}) {
            QVERIFY(attack(bytes, true));
            ++badInputs;
        }

        // Thousands of idle connections, each announced by INIT and ending in the
        // middle of a header; within this process's descriptor limit.
        rlimit limit{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &limit), 0);
        const int many = int(qMin<rlim_t>(2000, limit.rlim_cur > 200 ? limit.rlim_cur - 200 : 0));
        QVERIFY2(many >= 500, "too few file descriptors");
        const QByteArray idle =
            FrameBytes::encode(IdentifyPackage(0, QStringLiteral("idle"), true)) +
            FrameBytes::header(1, 2, 100).left(7);
        const QDeadlineTimer bound(60000);
        for (int i = 0; i < many && !bound.hasExpired(); ++i, ++badInputs)
            QVERIFY(attack(idle, true));
        QVERIFY(serving());

        const qint64 peak = ReliabilitySandbox::memoryKiB(pid, "VmHWM");
        qInfo("%d hostile connections, %d bad inputs, %d good calls between them; server peak "
              "memory %lld KiB, %lld KiB before",
              int(hostile.size()), badInputs, 2 * round, peak, baseline);
        QVERIFY2(peak > 0 && peak < ServerMemoryBoundKiB, qPrintable(QString::number(peak)));
        QCOMPARE(server.terminate(), 0);
    }

    void pinnedCertificate_data()
    {
        // In both columns "<server>" stands for the server's fingerprint.
        QTest::addColumn<QString>("pin");
        QTest::addColumn<QString>("error"); // empty when the set goes through

        const QString other(64, QLatin1Char('f'));
        QTest::newRow("pinned") << QStringLiteral("<server>") << QString();
        QTest::newRow("pinned as openssl prints it") << QStringLiteral("<SE:RV:ER>") << QString();
        QTest::newRow("another certificate")
            << other
            << QStringLiteral("Server certificate fingerprint mismatch: expected %1, got <server>")
                   .arg(other);
    }

    void pinnedCertificate()
    {
        QFETCH(QString, pin);
        QFETCH(QString, error);
        const QString program =
            QCoreApplication::applicationDirPath() + QStringLiteral("/VelDataServer");
        const QString dataDir = ReliabilitySandbox::path(QStringLiteral("tls-data"));
        TestSupport::writeSettings({{"encryption", 1}});

        // Asked before any start, the server makes its certificate and keeps it.
        QProcess print;
        print.start(program,
                    {QStringLiteral("--print-fingerprint"), QStringLiteral("--data-dir"), dataDir});
        QVERIFY(print.waitForFinished(60000) && print.exitCode() == 0);
        const QByteArray fingerprint = print.readAllStandardOutput().trimmed();
        const QList<QSslCertificate> certificate =
            QSslCertificate::fromPath(dataDir + QStringLiteral("/tls-certificate.pem"));
        QCOMPARE(certificate.size(), 1);
        const QByteArray digest = certificate.first().digest(QCryptographicHash::Sha256);
        QCOMPARE(fingerprint, digest.toHex());

        // Started, it says the same before it says it listens.
        QProcess server;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_LOGGING_RULES"),
                           QStringLiteral("veldata.server.debug=true"));
        server.setProcessEnvironment(environment);
        // The rows share the data folder; each reads its own server's log.
        QFile::remove(dataDir + QStringLiteral("/VelDataServer.log"));
        server.start(program, {QStringLiteral("--port"), QStringLiteral("0"),
                               QStringLiteral("--data-dir"), dataDir});
        QByteArrayList lines;
        const QDeadlineTimer deadline(ServerProcess::StartTimeoutMs);
        while (!deadline.hasExpired() &&
               (lines.isEmpty() || !lines.last().startsWith("listening on port "))) {
            if (!server.canReadLine() &&
                !server.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
                break;
            while (server.canReadLine())
                lines << server.readLine().trimmed();
        }
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.first(), "tls certificate sha256 fingerprint " + fingerprint);
        const quint16 port = quint16(lines.last().mid(18).toUInt());

        pin.replace(QStringLiteral("<server>"), QString::fromLatin1(fingerprint))
            .replace(QStringLiteral("<SE:RV:ER>"),
                     QString::fromLatin1(digest.toHex(':').toUpper()));
        error.replace(QStringLiteral("<server>"), QString::fromLatin1(fingerprint));
        TestSupport::writeSettings({{"serverPort", port},
                                    {"startServerOnRequest", 0},
                                    {"encryption", 1},
                                    {"serverCertificateSha256", pin}});
        {
            // A refusal names its reason: not "Timeout reached", however slow the
            // handshake under a sanitizer.
            VelDataClient client;
            QCOMPARE(client.setInt(QStringLiteral("secret"), QStringLiteral("tls"), 7),
                     error.isEmpty());
            if (!error.isEmpty())
                QCOMPARE(client.lastError(), error);
        }

        ::kill(pid_t(server.processId()), SIGTERM);
        QVERIFY(server.waitForFinished(ServerProcess::StartTimeoutMs));
        // A refused server has seen a connection and not one byte of a request.
        QFile logFile(dataDir + QStringLiteral("/VelDataServer.log"));
        QVERIFY(logFile.open(QIODevice::ReadOnly));
        const QByteArray log = logFile.readAll();
        QVERIFY2(log.contains(" connected"), log.constData());
        QCOMPARE(log.contains(" identified"), error.isEmpty());
        QCOMPARE(log.contains(" set "), error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
