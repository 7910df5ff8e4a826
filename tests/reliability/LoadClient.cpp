// vds_loadclient: many threads of one process setting and reading values
// through the public API, each with a VelDataClient of its own, each on keys
// of its own, so that every read can be checked against what that thread set.
//
//   vds_loadclient NAME THREADS PAIRS [SECONDS]
//
// Prints one summary line and exits 0 only when every set was acknowledged
// and every get returned the value its own thread had set before.

#include "VelDataClient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSslConfiguration>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct Tally
{
    std::atomic<int> pairs{0};
    std::atomic<int> failedSets{0};
    std::atomic<int> failedGets{0};
    std::atomic<int> mismatches{0};
};

/// One set of `value` and the get that follows it, counted in `tally`.
template <typename T, typename Set, typename Get>
void checkPair(Tally *tally, const T &value, Set set, Get get)
{
    T read{};
    if (!set(value))
        ++tally->failedSets;
    else if (get(&read) != 1)
        ++tally->failedGets;
    else if (read != value)
        ++tally->mismatches;
}

void runPairs(const QString &uuid, int pairs, const QDeadlineTimer &deadline, Tally *tally)
{
    VelDataClient client;
    for (int i = 0; i < pairs && !deadline.hasExpired(); ++i) {
        const QString key = QStringLiteral("k%1").arg(i);
        // Strings and ints alternate so that both value paths carry load.
        if (i % 2 == 0)
            checkPair(
                tally, uuid + QLatin1Char('/') + QString::number(i),
                [&](const QString &value) { return client.setString(key, uuid, value); },
                [&](QString *read) { return client.getString(key, uuid, read); });
        else
            checkPair(
                tally, i, [&](int value) { return client.setInt(key, uuid, value); },
                [&](int *read) { return client.getInt(key, uuid, read); });
        ++tally->pairs;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: vds_loadclient NAME THREADS PAIRS [SECONDS]\n");
        return 2;
    }
    const QString name = args.at(1);
    const int threads = args.at(2).toInt();
    const int pairs = args.at(3).toInt();
    const int seconds = args.value(4, QStringLiteral("120")).toInt();
    const QDeadlineTimer deadline(qint64(seconds) * 1000);

    // Qt loads OpenSSL's defaults (it lists the ciphers through a throwaway
    // SSL context) on the first thread that makes a socket, plain ones too.
    // OpenSSL keeps that thread's random generator in thread-local state it
    // frees at process cleanup only for the main thread, so on a worker it is
    // reported as a leak at exit; done here, it is freed.
    QSslConfiguration::defaultConfiguration();

    Tally tally;
    std::vector<std::unique_ptr<QThread>> workers;
    for (int t = 0; t < threads; ++t) {
        const QString uuid = QStringLiteral("%1-t%2").arg(name).arg(t);
        workers.emplace_back(QThread::create(
            [uuid, pairs, deadline, &tally] { runPairs(uuid, pairs, deadline, &tally); }));
        workers.back()->start();
    }
    for (auto &worker : workers)
        worker->wait();

    const int wanted = threads * pairs;
    std::printf("load %s: %d threads, %d of %d pairs, %d failed sets, %d failed gets, "
                "%d mismatches\n",
                qPrintable(name), threads, tally.pairs.load(), wanted, tally.failedSets.load(),
                tally.failedGets.load(), tally.mismatches.load());
    const bool clean = tally.pairs == wanted && tally.failedSets == 0 && tally.failedGets == 0 &&
                       tally.mismatches == 0;
    return clean ? 0 : 1;
}
