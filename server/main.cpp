// VelDataServer: the local data server of VelDataClient applications.

#include "DataFolder.h"
#include "DataServer.h"
#include "ListTypes.h"
#include "LogFile.h"
#include "ReadinessBlock.h"
#include "ServerLog.h"
#include "ServerSettings.h"
#include "TerminationWatcher.h"
#include "TlsIdentity.h"
#include "VdsProtocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <unistd.h>

namespace {

/// Standard error may be the null device of an autostarted server: the
/// reason is kept in the log too once there is one.
int fail(const QString &message, const LogFile *log = nullptr)
{
    QTextStream(stderr) << "VelDataServer: " << message << Qt::endl;
    if (log && log->isOpen())
        qCCritical(lcServer).noquote() << message;
    return 1;
}

/// Waits, bounded like a client's wait for readiness after a start, until
/// the server that holds the data folder is ready (false) or has let go of
/// the folder, which this one then holds (true).
bool outwaitOtherServer(DataFolder &folder, const QString &path, QString *error)
{
    constexpr int PollIntervalMs = 50;
    for (int waited = 0; waited < VdsProtocol::ServerStartWaitMs; waited += PollIntervalMs) {
        QThread::msleep(PollIntervalMs);
        QString ignored;
        if (ReadinessBlock::heldByRunningServer(&ignored))
            return false;
        if (folder.claim(path, &ignored))
            return true;
        if (!folder.heldByAnother()) {
            *error = ignored;
            return false;
        }
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    // The server has no use for GLib's main loop: Qt's own dispatcher polls
    // the same sockets without GLib's wake-ups, four system calls fewer for
    // every request.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QLatin1String(VdsProtocol::ServerOrganization));
    QCoreApplication::setApplicationName(QLatin1String(VdsProtocol::ServerProgram));
    QCoreApplication::setApplicationVersion(QStringLiteral(VDS_VERSION));

    ServerSettings settings;
    QString error;
    if (!settings.load(QCoreApplication::arguments(), &error))
        return fail(error);
    if (settings.printFingerprint) {
        TlsIdentity tls;
        if (!tls.load(settings.tlsCertificate, settings.tlsKey, settings.dataDir, &error))
            return fail(error);
        std::printf("%s\n", tls.fingerprint().constData());
        return 0;
    }
    // Variants holding int, double and point lists are stored and sent back.
    ListTypes::registerStreamOperators();

    TerminationWatcher termination;
    if (!termination.isActive())
        return fail(QStringLiteral("cannot watch for SIGINT and SIGTERM"));
    // Refused before anything is touched or printed: "listening" must only
    // ever come from the server that clients will reach.
    if (ReadinessBlock::heldByRunningServer(&error))
        return fail(error);
    // One server per data folder, settled before SQLite is touched: two
    // servers that start at once (a client's request thread and calling
    // thread may both start one) would otherwise both fail on its lock and
    // leave none running.
    DataFolder folder;
    // A client that started this server watches it to learn whether a server
    // is coming: giving way to one that is still starting, this one stays
    // until that one is ready, so its exit never tells its starter to give up
    // on a server about to be ready.
    if (!settings.inMemory && !folder.claim(settings.dataDir, &error) &&
        !(folder.heldByAnother() && outwaitOtherServer(folder, settings.dataDir, &error)))
        return fail(error);
    // Opened only by the server that owns the folder: one that gives way to
    // a running server at once would only interleave its lines with theirs.
    LogFile log;
    const QString logPath =
        !settings.logFile.isEmpty() ? settings.logFile
        : ::isatty(STDERR_FILENO) != 0
            ? QString()
            : QDir(settings.dataDir).filePath(QLatin1String(VdsProtocol::ServerLogName));
    if (!logPath.isEmpty() && !log.open(logPath, &error))
        return fail(error);
    DataServer server(settings);
    if (!server.start(&error))
        return fail(error, &log);
    ReadinessBlock ready;
    if (!ready.create(server.port(), &error))
        return fail(error, &log);

    QObject::connect(&termination, &TerminationWatcher::terminationRequested, &app,
                     [&](int signalNumber) {
                         qCInfo(lcServer) << "signal" << signalNumber << "received, shutting down";
                         server.shutdown();
                         ready.release();
                         QCoreApplication::quit();
                     });
    if (!server.tlsFingerprint().isEmpty())
        std::printf("tls certificate sha256 fingerprint %s\n", server.tlsFingerprint().constData());
    // Tests and scripts wait for this line instead of sleeping.
    std::printf("listening on port %u\n", unsigned(server.port()));
    std::fflush(stdout);
    if (log.isOpen()) {
        // Nobody may see standard output either (an autostarted server's is
        // the null device); the log tells the same.
        qCInfo(lcServer).noquote() << "VelDataServer" << QCoreApplication::applicationVersion()
                                   << "pid" << QCoreApplication::applicationPid();
        if (!server.tlsFingerprint().isEmpty())
            qCInfo(lcServer).noquote()
                << "tls certificate sha256 fingerprint" << server.tlsFingerprint();
        qCInfo(lcServer).noquote() << "listening on port" << server.port();
    }
    return app.exec();
}
