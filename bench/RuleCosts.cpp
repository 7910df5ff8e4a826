#include "RuleCosts.h"

#include "PreProcessor.h"

#include <QCoreApplication>
#include <QThread>

#include <map>
#include <mutex>

namespace {

// The library's own check, as every wait begins with it.
bool checkReadiness()
{
    return PreProcessor::isServerReady();
}

} // namespace

Samples RuleCosts::readinessCheck(int maxCalls, int maxMs)
{
    return Samples::run(maxCalls, maxMs, checkReadiness);
}

Samples RuleCosts::waitingPass(int maxCalls, int maxMs)
{
    return Samples::run(maxCalls, maxMs, [] {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::yieldCurrentThread();
        return true;
    });
}

Samples RuleCosts::threadTrip(bool withReadinessCheck, int maxCalls, int maxMs)
{
    // Objects that stand for the worker and the handler: queued calls to them
    // run on their threads' event loops, as the library's signals do.
    QThread workerThread;
    QThread handlerThread;
    QObject worker;
    QObject handler;
    worker.moveToThread(&workerThread);
    handler.moveToThread(&handlerThread);
    workerThread.start();
    handlerThread.start();

    std::mutex mutex;
    std::map<int, int> results;
    int id = 0;
    Samples samples = Samples::run(maxCalls, maxMs, [&] {
        const int request = ++id;
        QMetaObject::invokeMethod(
            &worker,
            [&, request] {
                QMetaObject::invokeMethod(
                    &handler,
                    [&, request] {
                        std::lock_guard<std::mutex> lock(mutex);
                        results[request] = 1;
                    },
                    Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
        if (withReadinessCheck)
            checkReadiness();
        for (int pass = 0; pass < 10000000; ++pass) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (results.erase(request) > 0)
                    return true;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            QThread::yieldCurrentThread();
        }
        return false;
    });
    workerThread.quit();
    handlerThread.quit();
    workerThread.wait();
    handlerThread.wait();
    return samples;
}
