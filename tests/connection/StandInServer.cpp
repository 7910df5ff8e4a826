// Stands in for VelDataServer in the autostart test: it announces readiness
// the way the server does, a moment after it starts so that the client has to
// poll, and tells the test who it is so that the test can stop it, and what it
// inherited from its starter: standard channels and session. It ends on
// SIGTERM or by itself after a while, so that it never outlives a test run.

#include "VdsProtocol.h"

#include <QCoreApplication>
#include <QFile>
#include <QSharedMemory>
#include <QTimer>

#include <csignal>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::signal(SIGTERM, requestStop);

    const QString report = qEnvironmentVariable("VDS_STANDIN_REPORT");
    if (!report.isEmpty()) {
        QFile file(report);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n' +
                       QCoreApplication::applicationFilePath().toLocal8Bit() + '\n' +
                       QFile::symLinkTarget("/proc/self/fd/0").toLocal8Bit() + ' ' +
                       QFile::symLinkTarget("/proc/self/fd/1").toLocal8Bit() + ' ' +
                       QFile::symLinkTarget("/proc/self/fd/2").toLocal8Bit() + '\n' +
                       QByteArray::number(::getsid(0)) + '\n');
    }

    QSharedMemory ready(QLatin1String(VdsProtocol::ReadinessKey));
    QTimer::singleShot(300, &app, [&ready] { ready.create(1); });
    QTimer::singleShot(20000, &app, &QCoreApplication::quit);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [] {
        if (stopRequested)
            QCoreApplication::quit();
    });
    poll.start(20);
    // Leaving through the event loop detaches the block, which removes it.
    return app.exec();
}
