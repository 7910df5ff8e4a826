// The state that the application thread and the connection's threads share
// (the cache, filled, changed and cleared as answers arrive, the result
// table, the last-error text, the INIT flags and the socket-state copy),
// hammered from plain threads. Its point is to run under
// ThreadSanitizer: no Qt event queue is involved, so every report is ours.

#include "AutoUpdatePackage.h"
#include "CommandPackage.h"
#include "IdentDataGlobals.h"
#include "IdentDataRuntime.h"
#include "IntPackage.h"
#include "PreProcessor.h"
#include "ResponsePackage.h"
#include "ThreadedClientHandler.h"
#include "VdsProtocol.h"

#include <QSharedMemory>
#include <QtTest>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace {

constexpr int Keys = 16;
constexpr int Rounds = 3000;

Identifier key(int i)
{
    if (i % 2)
        return Identifier(new IdentDataGlobals(QStringLiteral("g%1").arg(i)));
    return Identifier(new IdentDataRuntime(QStringLiteral("k%1").arg(i), QStringLiteral("u")));
}

// The value stored under key i is always i, so any package a reader gets must
// match the key it asked for.
BasicPackagePtr valueFor(int i)
{
    return BasicPackagePtr(new IntPackage(0, key(i).cloneData(), i));
}

void runAll(const std::vector<std::function<void()>> &jobs)
{
    std::vector<std::thread> threads;
    for (const auto &job : jobs)
        threads.emplace_back(job);
    for (auto &t : threads)
        t.join();
}

} // namespace

class TestSharedState : public QObject
{
    Q_OBJECT

private slots:
    void preProcessorStateReadWhileAnswersArrive();
    void resultTableWaitsWhileCodesArrive();
};

void TestSharedState::preProcessorStateReadWhileAnswersArrive()
{
    qRegisterMetaType<Identifier>("Identifier");
    PreProcessor pre(QStringLiteral("localhost"), 1);
    std::atomic<int> wrong{0};
    std::atomic<int> hits{0};
    // The worker side: answers as the decoder would hand them over.
    auto answers = [&] {
        for (int n = 0; n < Rounds; ++n) {
            const int i = n % Keys;
            pre.dataProcessed(valueFor(i), 0, 0);
            if (n % 10 == 0)
                pre.dataProcessed(
                    BasicPackagePtr(new ResponsePackage(n, 5, QStringLiteral("error %1").arg(n))),
                    0, 0);
            if (n % 7 == 0)
                pre.dataProcessed(BasicPackagePtr(new AutoUpdatePackage(0, key(i).cloneData(), 3)),
                                  0, 0);
            if (n % 50 == 0)
                pre.dataProcessed(
                    BasicPackagePtr(new CommandPackage(0, VdsProtocol::ClearCacheCommand, {})), 0,
                    0);
            if (n == Rounds / 2)
                pre.dataProcessed(BasicPackagePtr(new ResponsePackage(0, 6, QString())), 0, 0);
        }
    };
    // The application side: reads values, the error text and the flags.
    auto reads = [&](int seed) {
        bool sawInit = false;
        for (int n = 0; n < Rounds; ++n) {
            const int i = (n + seed) % Keys;
            int value = -1;
            if (pre.readInt32(key(i), &value)) {
                ++hits;
                wrong += value != i;
            }
            const QString error = pre.lastError();
            if (!error.isEmpty() && !error.startsWith(QLatin1String("error ")))
                ++wrong;
            // Once seen, the acknowledgement never goes back.
            if (sawInit && !pre.initFinished())
                ++wrong;
            sawInit = pre.initFinished();
            if (!pre.sendInit() || pre.socketState() != QAbstractSocket::UnconnectedState)
                ++wrong;
        }
    };
    runAll({answers, [&] { reads(0); }, [&] { reads(5); }});
    QCOMPARE(wrong.load(), 0);
    QVERIFY(hits.load() > 0);
    QVERIFY(pre.initFinished());
    QVERIFY(pre.lastError().startsWith(QLatin1String("error ")));
}

void TestSharedState::resultTableWaitsWhileCodesArrive()
{
    QSharedMemory ready(QStringLiteral("VelDataServer-Ready"));
    if (!ready.create(1)) { // left by a killed run: the last detach removes it
        ready.attach();
        ready.detach();
        QVERIFY(ready.create(1));
    }
    // The server counts as running, so waits go straight to the table.
    ThreadedClientHandler handler(QStringLiteral("localhost"), 1);
    // One waiting thread, as a client object has; codes arrive from two others.
    constexpr int Ids = 1000;
    std::atomic<int> wrong{0};
    auto recorder = [&](int parity) {
        for (int id = 1 + parity; id <= Ids; id += 2)
            QMetaObject::invokeMethod(&handler, "setDataReceived", Qt::DirectConnection,
                                      Q_ARG(int, id), Q_ARG(int, id % 2 + 1));
    };
    auto waiter = [&] {
        for (int id = 1; id <= Ids; ++id) {
            if (handler.waitForResult(id, 10000) != id % 2 + 1)
                ++wrong;
        }
    };
    runAll({waiter, [&] { recorder(0); }, [&] { recorder(1); }});
    QCOMPARE(wrong.load(), 0);
}

QTEST_GUILESS_MAIN(TestSharedState)
#include "tst_sharedstate.moc"
