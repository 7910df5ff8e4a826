#include "Cache.h"
#include "IdentDataGlobals.h"
#include "IdentDataMqtt.h"
#include "IdentDataOpcua.h"
#include "IdentDataRuntime.h"
#include "StringPackage.h"

#include <QThread>
#include <QtTest>

namespace {

Identifier runtime(const QString &key, const QString &uuid)
{
    return Identifier(new IdentDataRuntime(key, uuid));
}

Identifier globals(const QString &key)
{
    return Identifier(new IdentDataGlobals(key));
}

BasicPackagePtr text(const QString &value)
{
    return BasicPackagePtr(new StringPackage(1, nullptr, value));
}

QString textOf(const BasicPackagePtr &package)
{
    const auto string = package.dynamicCast<StringPackage>();
    return string ? string->typedValue() : QStringLiteral("<none>");
}

} // namespace

class TestCache : public QObject
{
    Q_OBJECT

private slots:
    void keys_data();
    void keys();
    void secondInsertReplacesOnlyTheValue();
    void removeAndClear();
    void concurrentUse();
};

void TestCache::keys_data()
{
    QTest::addColumn<Identifier>("stored");
    QTest::addColumn<Identifier>("looked");
    QTest::addColumn<bool>("same");

    QTest::newRow("empty and null uuid") << runtime("a", "") << runtime("a", QString()) << true;
    QTest::newRow("other uuid") << runtime("a", "b") << runtime("a", "c") << false;
    QTest::newRow("globals and opcua")
        << globals("k") << Identifier(new IdentDataOpcua("k")) << false;
    QTest::newRow("opcua and mqtt")
        << Identifier(new IdentDataOpcua("k")) << Identifier(new IdentDataMqtt("k")) << false;
    QTest::newRow("runtime and globals") << runtime("k", "") << globals("k") << false;
    QTest::newRow("two empty handles") << Identifier(nullptr) << Identifier(nullptr) << true;
    QTest::newRow("empty and unknown") << Identifier(nullptr) << Identifier() << false;
}

void TestCache::keys()
{
    QFETCH(Identifier, stored);
    QFETCH(Identifier, looked);
    QFETCH(bool, same);

    Cache cache;
    cache.insert(stored, text("v"));
    QCOMPARE(cache.contains(looked), same);
    QCOMPARE(textOf(cache.get(looked)), same ? QStringLiteral("v") : QStringLiteral("<none>"));
    QCOMPARE(cache.remove(looked), same);
    QCOMPARE(cache.contains(stored), !same);
}

void TestCache::secondInsertReplacesOnlyTheValue()
{
    Cache cache;
    cache.insert(runtime("a", QString()), text("first"));
    cache.insert(runtime("a", ""), text("second"));

    QCOMPARE(textOf(cache.get(runtime("a", ""))), QStringLiteral("second"));
    QVERIFY(cache.remove(runtime("a", QString())));
    QVERIFY(!cache.remove(runtime("a", QString())));
}

void TestCache::removeAndClear()
{
    Cache cache;
    cache.clear();
    QVERIFY(!cache.remove(globals("k")));

    cache.insert(globals("k"), text("1"));
    cache.insert(runtime("k", "u"), text("2"));
    QVERIFY(cache.remove(globals("k")));
    QVERIFY(cache.get(globals("k")).isNull());
    QVERIFY(cache.contains(runtime("k", "u")));

    cache.insert(globals("k"), text("3"));
    cache.clear();
    QVERIFY(!cache.contains(globals("k")));
    QVERIFY(!cache.contains(runtime("k", "u")));
}

namespace {

void fill(Cache &cache, int rounds)
{
    for (int i = 0; i < rounds; ++i) {
        cache.insert(runtime(QString::number(i % 50), "u"), text(QString::number(i)));
        if (i % 7 == 0)
            cache.remove(runtime(QString::number((i + 3) % 50), "u"));
        if (i % 500 == 0)
            cache.clear();
    }
}

} // namespace

// The worker thread fills and empties the cache while the application thread
// reads it; without the lock the map is corrupted (the sanitizer build sees it
// at once), and the writer's work must all have landed when it is done.
void TestCache::concurrentUse()
{
    constexpr int Rounds = 3000;
    Cache cache;
    QThread *writer = QThread::create([&cache] { fill(cache, Rounds); });
    writer->start();
    for (int i = 0; i < Rounds; ++i) {
        cache.get(runtime(QString::number(i % 50), "u"));
        cache.contains(runtime(QString::number(i % 50), "u"));
    }
    QVERIFY(writer->wait(30000));
    delete writer;

    Cache replay;
    fill(replay, Rounds);
    for (int key = 0; key < 50; ++key) {
        const Identifier ident = runtime(QString::number(key), "u");
        QCOMPARE(textOf(cache.get(ident)), textOf(replay.get(ident)));
    }
}

QTEST_GUILESS_MAIN(TestCache)
#include "tst_cache.moc"
