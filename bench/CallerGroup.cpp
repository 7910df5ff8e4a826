#include "CallerGroup.h"

#include "VelDataClient.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QThread>

#include <memory>
#include <vector>

Samples CallerGroup::run(int callers, int maxCallsEach, int maxMs)
{
    QSemaphore ready;
    QSemaphore go;
    std::vector<Samples> results(static_cast<size_t>(callers));
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < callers; ++i) {
        threads.emplace_back(QThread::create([&, i] {
            VelDataClient client;
            const QString uuid = QStringLiteral("caller%1").arg(i);
            // Connected and warm before the clock starts.
            for (int n = 0; n < 50; ++n)
                client.setInt(QStringLiteral("callers"), uuid, n);
            ready.release();
            // Bounded: a caller whose partners never came up gives up.
            if (!go.tryAcquire(1, 60000))
                return;
            int value = 0;
            results[size_t(i)] = Samples::run(maxCallsEach, maxMs, [&] {
                return client.setInt(QStringLiteral("callers"), uuid, ++value);
            });
        }));
        threads.back()->start();
    }
    Samples all;
    if (ready.tryAcquire(callers, 60000)) {
        go.release(callers);
    }
    qint64 wallNs = 0;
    for (int i = 0; i < callers; ++i) {
        threads[size_t(i)]->wait();
        all.merge(results[size_t(i)]);
        wallNs = qMax(wallNs, qint64(results[size_t(i)].wallSeconds() * 1e9));
    }
    all.setWallNs(wallNs);
    return all;
}
