// The exported library, through its public interface only, against the real
// VelDataServer program over loopback: a file far larger than the server may
// grow by, written by one client object and read by another. Each kind's
// encoding, decoding and storage is pinned in the wire, client and raw server
// tests; a reconnection after a restart in the connection and vdsctl tests.

#include "ServerProcess.h"
#include "TestSupport.h"
#include "VdsProtocol.h"

#include <VelDataClient.h>

#include <QtTest>

namespace {

const QString Uuid = QStringLiteral("7d3c5e2a-91f4-4b0e-a2d6-0c8e5f1b9a47");

/// A number of kB from the /proc/<pid>/status line `name`, -1 if there is none.
qint64 statusKiB(qint64 pid, const char *name)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^%1:\\s*(\\d+) kB$").arg(QLatin1String(name)),
                           QRegularExpression::MultilineOption)
            .match(QString::fromLatin1(status.open(QIODevice::ReadOnly) ? status.readAll() : ""));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

} // namespace

class tst_ServerClient : public QObject
{
    Q_OBJECT

private slots:
    void largeFileKeepsServerSmall();
};

// Far larger than the server may grow by: the content goes to and from the
// disk in pieces.
void tst_ServerClient::largeFileKeepsServerSmall()
{
    QVERIFY2(TestSupport::inSandbox(),
             "run through ctest, which gives the test its own settings folder");
    QTemporaryDir work;
    ServerProcess server(work.filePath(QStringLiteral("data")));
#if defined(__SANITIZE_ADDRESS__)
    // ASan keeps freed memory resident in a quarantine of 256 MiB: the
    // server's peak while a file passes would measure that, not the server.
    server.setEnvironment(QStringLiteral("ASAN_OPTIONS"),
                          qEnvironmentVariable("ASAN_OPTIONS") +
                              QStringLiteral(":quarantine_size_mb=8"));
    const int fileMiB = 128;
#else
    const int fileMiB = 256;
#endif
    const auto log = qScopeGuard([&server] {
        if (QTest::currentTestFailed())
            qWarning().noquote() << "server log:\n" << server.errorOutput();
    });
    QVERIFY(server.start());
    // The clients find the server through this file. They may not start one of
    // their own, so a server that is gone shows as a failure, not as a stray process.
    TestSupport::writeSettings({{VdsProtocol::Settings::ServerPort, server.port()},
                                {VdsProtocol::Settings::StartServerOnRequest, 0}});

    const QString source = work.filePath(QStringLiteral("large.bin"));
    QFile file(source);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < fileMiB; ++i) {
        block.fill(char(i * 37));
        block.replace(0, 4, reinterpret_cast<const char *>(&i), 4);
        QVERIFY(file.write(block) == block.size());
    }
    file.close();

    const qint64 pid = server.processId();
    // The peak is measured from here on: "5" resets it to the present size.
    QFile peakReset(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    const bool reset = peakReset.open(QIODevice::WriteOnly) && peakReset.write("5") == 1;
    peakReset.close();
    const qint64 idle = statusKiB(pid, reset ? "VmRSS" : "VmHWM");
    VelDataClient writer, reader;
    QVERIFY2(writer.setFile(QStringLiteral("large"), Uuid, source), qPrintable(writer.lastError()));
    const QString target = work.filePath(QStringLiteral("received"));
    QVERIFY(QDir().mkpath(target));
    QCOMPARE(reader.getFile(QStringLiteral("large"), Uuid, target), 1);
    const qint64 peak = statusKiB(pid, "VmHWM");
    QVERIFY(idle > 0 && peak > 0);
    QVERIFY2(peak - idle <= 64 * 1024,
             qPrintable(QStringLiteral("server peak %1 kB from %2 kB").arg(peak).arg(idle)));

    // Compared a block at a time: the file is not held whole.
    QFile received(target + QStringLiteral("/large.bin"));
    QVERIFY(file.open(QIODevice::ReadOnly) && received.open(QIODevice::ReadOnly));
    QCOMPARE(received.size(), file.size());
    while (!file.atEnd())
        QVERIFY(file.read(1 << 20) == received.read(1 << 20));
    QCOMPARE(server.terminate(), 0);
}

QTEST_GUILESS_MAIN(tst_ServerClient)
#include "tst_server_client.moc"
