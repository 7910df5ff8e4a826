// vds_soak_client: one process of the soak (scripts/soak). Several threads,
// each a SoakWorker with a VelDataClient of its own, work on keys of their
// own until the time is up, then check every key once more.
//
//   vds_soak_client --name NAME --threads N --seconds S --folder DIR
//
// Prints one line, "soak-client NAME calls=... checked=... lost=... wrong=...
// failures=kind:N,...", and exits 0 (lost values are for the script to judge).

#include "SoakTally.h"
#include "SoakWorker.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QThread>

#include <cstdio>
#include <memory>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption nameOption(QStringLiteral("name"), QStringLiteral("Key prefix."),
                                        QStringLiteral("name"));
    const QCommandLineOption threadsOption(QStringLiteral("threads"),
                                           QStringLiteral("Client threads."), QStringLiteral("n"),
                                           QStringLiteral("2"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Working time."), QStringLiteral("s"),
                                           QStringLiteral("60"));
    const QCommandLineOption folderOption(
        QStringLiteral("folder"), QStringLiteral("Folder for files."), QStringLiteral("dir"));
    parser.addOptions({nameOption, threadsOption, secondsOption, folderOption});
    parser.process(app);
    bool threadsOk = false;
    bool secondsOk = false;
    const int threads = parser.value(threadsOption).toInt(&threadsOk);
    const int seconds = parser.value(secondsOption).toInt(&secondsOk);
    const QString name = parser.value(nameOption);
    if (!threadsOk || !secondsOk || threads < 1 || threads > 64 || seconds < 1 || name.isEmpty() ||
        parser.value(folderOption).isEmpty()) {
        std::fprintf(stderr, "usage: vds_soak_client --name NAME --threads N --seconds S "
                             "--folder DIR\n");
        return 2;
    }

    const QDeadlineTimer deadline(qint64(seconds) * 1000);
    std::vector<std::unique_ptr<SoakWorker>> workers;
    std::vector<std::unique_ptr<QThread>> running;
    for (int t = 0; t < threads; ++t) {
        const QString workerName = QStringLiteral("%1t%2").arg(name).arg(t);
        workers.push_back(std::make_unique<SoakWorker>(workerName, quint32(qHash(workerName)),
                                                       parser.value(folderOption), deadline));
        SoakWorker *worker = workers.back().get();
        running.emplace_back(QThread::create([worker] { worker->run(); }));
        running.back()->start();
    }
    SoakTally total;
    for (int t = 0; t < threads; ++t) {
        running[size_t(t)]->wait();
        total.add(workers[size_t(t)]->tally());
    }
    std::printf("soak-client %s %s\n", qPrintable(name), qPrintable(total.line()));
    return 0;
}
