// The exported library, through its public interface only, against the real
// VelDataServer program over loopback: two client objects of one process, as
// two applications of a plant would share values through the server.

#include "ServerProcess.h"
#include "TestSupport.h"

#include <VelDataClient.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <functional>
#include <memory>

namespace {

using Client = VelDataClient;

const QString Uuid = QStringLiteral("7d3c5e2a-91f4-4b0e-a2d6-0c8e5f1b9a47");

/// One value's way through the library: stored under a key, read back by a
/// client and compared with what was stored.
struct RoundTrip
{
    std::function<bool(Client &, const QString &key)> set;
    /// The getter's result; `same` tells whether what it delivered is the stored value.
    std::function<int(Client &, const QString &key, bool *same)> get;
};

template <typename T, typename Set, typename Get>
RoundTrip roundTrip(const T &value, Set set, Get get)
{
    return {[=](Client &c, const QString &key) { return set(c, key, value); },
            [=](Client &c, const QString &key, bool *same) {
                T got{};
                const int result = get(c, key, &got);
                *same = got == value;
                return result;
            }};
}

template <typename T, typename P>
RoundTrip byUuid(bool (Client::*set)(const QString &, const QString &, P),
                 int (Client::*get)(const QString &, const QString &, T *), const T &value)
{
    return roundTrip(
        value, [set](Client &c, const QString &key, const T &v) { return (c.*set)(key, Uuid, v); },
        [get](Client &c, const QString &key, T *got) { return (c.*get)(key, Uuid, got); });
}

template <typename T, typename P>
RoundTrip byKey(bool (Client::*set)(const QString &, P), int (Client::*get)(const QString &, T *),
                const T &value)
{
    return roundTrip(
        value, [set](Client &c, const QString &key, const T &v) { return (c.*set)(key, v); },
        [get](Client &c, const QString &key, T *got) { return (c.*get)(key, got); });
}

template <typename T, typename P>
RoundTrip byKind(VDS_IDENT_CONSTS kind, bool (Client::*set)(VDS_IDENT_CONSTS, const QString &, P),
                 int (Client::*get)(VDS_IDENT_CONSTS, const QString &, T *), const T &value)
{
    return roundTrip(
        value, [=](Client &c, const QString &key, const T &v) { return (c.*set)(kind, key, v); },
        [=](Client &c, const QString &key, T *got) { return (c.*get)(kind, key, got); });
}

/// Whether the files hold the same bytes, read a block at a time: a large
/// file is not held whole.
bool sameContents(const QString &path, const QString &otherPath)
{
    QFile file(path), other(otherPath);
    if (!file.open(QIODevice::ReadOnly) || !other.open(QIODevice::ReadOnly) ||
        file.size() != other.size())
        return false;
    while (!file.atEnd()) {
        if (file.read(1 << 20) != other.read(1 << 20))
            return false;
    }
    return true;
}

/// A number of kB from the /proc/<pid>/status line `name`, -1 if there is none.
qint64 statusKiB(qint64 pid, const QByteArray &name)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

Q_DECLARE_METATYPE(RoundTrip)

class tst_ServerClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void values_data();
    void values();
    void largeValues_data();
    void largeValues();
    void kindsKeptApart_data();
    void kindsKeptApart();
    void globalsPushedToOtherClients_data();
    void globalsPushedToOtherClients();
    void changeNotifications_data();
    void changeNotifications();
    void clearClientsCacheEmptiesOtherClients();
    void reconnectsAfterServerRestart();

private:
    RoundTrip fileTrip(const QString &uuid, const QString &source) const;

    QTemporaryDir m_work;
    std::unique_ptr<ServerProcess> m_server;
    quint16 m_port = 0;
    QString m_file;
    std::unique_ptr<Client> m_a;
    std::unique_ptr<Client> m_b;
    QStringList m_changes;
};

void tst_ServerClient::initTestCase()
{
    const QString configDirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    QVERIFY2(qEnvironmentVariableIsSet("VDS_TEST_SANDBOX") && !configDirs.isEmpty(),
             "run through ctest, which gives the test its own settings folder");
    QVERIFY(m_work.isValid());
    // Only the comparison of received and sent lists; reading them stays the library's job.
    QMetaType::registerEqualsComparator<QList<int>>();

    m_server = std::make_unique<ServerProcess>(m_work.filePath(QStringLiteral("data")));
#if defined(__SANITIZE_ADDRESS__)
    // ASan keeps freed memory resident in a quarantine of 256 MiB: the
    // server's peak while a file passes would measure that, not the server.
    m_server->setEnvironment(QStringLiteral("ASAN_OPTIONS"),
                             qEnvironmentVariable("ASAN_OPTIONS") +
                                 QStringLiteral(":quarantine_size_mb=8"));
#endif
    QVERIFY2(m_server->start(), m_server->errorOutput().constData());
    m_port = m_server->port();
    // The clients find the server through this file. They may not start one of
    // their own, so a server that is gone shows as a failure, not as a stray process.
    TestSupport::writeSettings(
        {{QStringLiteral("serverPort"), m_port}, {QStringLiteral("startServerOnRequest"), 0}});

    // Many pieces on the wire, each with other bytes, and a short last one.
    QByteArray bytes(5 * 1024 * 1024 + 3, Qt::Uninitialized);
    quint32 state = 1;
    for (char &byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = char(state >> 23);
    }
    m_file = m_work.filePath(QStringLiteral("recipe.bin"));
    QFile file(m_file);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
    file.close();

    m_a = std::make_unique<Client>();
    m_b = std::make_unique<Client>();
}

void tst_ServerClient::cleanupTestCase()
{
    m_a.reset();
    m_b.reset();
    if (m_server)
        QCOMPARE(m_server->terminate(), 0);
}

void tst_ServerClient::cleanup()
{
    if (m_a)
        m_a->setAutoUpdateCallback(nullptr);
    if (QTest::currentTestFailed() && m_server)
        qWarning().noquote() << "server log:\n" << m_server->errorOutput();
}

RoundTrip tst_ServerClient::fileTrip(const QString &uuid, const QString &source) const
{
    const QString target = m_work.filePath(QStringLiteral("received"));
    return {[=](Client &c, const QString &key) {
                QString id = uuid;
                return uuid.isNull() ? c.setFile(key, source) : c.setFile(key, id, source);
            },
            [=](Client &c, const QString &key, bool *same) {
                QDir(target).removeRecursively();
                QDir().mkpath(target);
                QString id = uuid;
                const int result =
                    uuid.isNull() ? c.getFile(key, target) : c.getFile(key, id, target);
                *same =
                    sameContents(target + QLatin1Char('/') + QFileInfo(source).fileName(), source);
                return result;
            }};
}

void tst_ServerClient::values_data()
{
    QTest::addColumn<RoundTrip>("trip");
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("missing");
    const auto rows = [](const char *name, VdsDataType type, const RoundTrip &withUuid,
                         const RoundTrip &withoutUuid, int missing = 0) {
        QTest::addRow("%s", name) << withUuid << Uuid << int(type) << missing;
        QTest::addRow("%s without uuid", name) << withoutUuid << QString() << int(type) << missing;
    };
    const QString text = QStringLiteral("Grüße ✓ \"quoted\"\n");
    rows("string", VdsTypeString, byUuid(&Client::setString, &Client::getString, text),
         byKey(&Client::setString, &Client::getString, text));
    rows("double", VdsTypeDouble, byUuid(&Client::setDouble, &Client::getDouble, -0.1),
         byKey(&Client::setDouble, &Client::getDouble, 1e300));
    rows("int", VdsTypeInt, byUuid(&Client::setInt, &Client::getInt, INT_MIN),
         byKey(&Client::setInt, &Client::getInt, INT_MAX));
    rows("bool", VdsTypeBool, byUuid(&Client::setBool, &Client::getBool, true),
         byKey(&Client::setBool, &Client::getBool, true));
    const QStringList strings{text, QString(), QStringLiteral("x")};
    rows("string list", VdsTypeStringList,
         byUuid(&Client::setStringList, &Client::getStringList, strings),
         byKey(&Client::setStringList, &Client::getStringList, strings));
    const QList<double> doubles{0.5, -2.25e-300, 3};
    rows("double list", VdsTypeDoubleList,
         byUuid(&Client::setDoubleList, &Client::getDoubleList, doubles),
         byKey(&Client::setDoubleList, &Client::getDoubleList, doubles));
    const QList<int> ints{INT_MAX, 0, -7};
    rows("int list", VdsTypeIntList, byUuid(&Client::setIntList, &Client::getIntList, ints),
         byKey(&Client::setIntList, &Client::getIntList, ints));
    const QVariant intList = QVariant::fromValue(ints);
    rows("variant of an int list", VdsTypeVariant,
         byUuid(&Client::setVariant, &Client::getVariant, intList),
         byKey(&Client::setVariant, &Client::getVariant, intList));
    const QVariant map(
        QVariantMap{{QStringLiteral("speed"), 2.5},
                    {QStringLiteral("names"), strings},
                    {QStringLiteral("inner"), QVariantMap{{QStringLiteral("n"), 4}}}});
    rows("variant of a map", VdsTypeVariant, byUuid(&Client::setVariant, &Client::getVariant, map),
         byKey(&Client::setVariant, &Client::getVariant, map));
    // getFile reports a missing file as a failure, not as "nothing delivered".
    rows("file", VdsTypeFile, fileTrip(Uuid, m_file), fileTrip(QString(), m_file), -1);
}

void tst_ServerClient::values()
{
    QFETCH(RoundTrip, trip);
    QFETCH(QString, uuid);
    QFETCH(int, type);
    QFETCH(int, missing);
    const QString key = QString::fromLatin1(QTest::currentDataTag());
    bool same = false;

    QVERIFY2(trip.set(*m_a, key), qPrintable(m_a->lastError()));
    QCOMPARE(int(m_a->getDataType(key, uuid)), type);
    // The other client has nothing cached: what it reads came from the server.
    QCOMPARE(trip.get(*m_b, key, &same), 1);
    QVERIFY(same);

    QVERIFY2(m_a->removeValue(key, uuid), qPrintable(m_a->lastError()));
    QCOMPARE(trip.get(*m_b, key, &same), missing);
    QCOMPARE(int(m_b->getDataType(key, uuid)), int(VdsTypeUnknown));
}

// Values whose frames span many of the decoder's 64 KiB chunks come back
// whole, runtime values read on request as well as globals pushed unasked.
void tst_ServerClient::largeValues_data()
{
    QTest::addColumn<RoundTrip>("trip");
    QTest::addColumn<bool>("pushed");
    QTest::addColumn<bool>("streamed");
#if defined(__SANITIZE_ADDRESS__)
    // Every fresh page costs a sanitized process several times more: 50 MB
    // would need more than a set's 5 s on a small machine.
    const int largest = 8 * 1024;
    const int fileMiB = 128;
#else
    const int largest = 50 * 1024;
    const int fileMiB = 256;
#endif
    for (const int kib : {70, 1024, largest}) {
        const int bytes = kib * 1024;
        const QString text(bytes / 2, QLatin1Char('t'));
        const auto row = [kib](const char *what) -> QTestData & {
            return QTest::addRow("%s of %d KiB", what, kib);
        };
        row("string") << byUuid(&Client::setString, &Client::getString, text) << false << false;
        QStringList strings;
        for (int at = 0; at < bytes; at += 2004)
            strings << QString(1000, QChar(u'a' + at % 26));
        row("string list") << byUuid(&Client::setStringList, &Client::getStringList, strings)
                           << false << false;
        QList<int> ints;
        for (int i = 0; i < bytes / 4; ++i)
            ints << i;
        row("int list") << byUuid(&Client::setIntList, &Client::getIntList, ints) << false << false;
        QList<double> doubles;
        for (int i = 0; i < bytes / 8; ++i)
            doubles << i * 0.25;
        row("double list") << byUuid(&Client::setDoubleList, &Client::getDoubleList, doubles)
                           << false << false;
        row("variant") << byUuid(&Client::setVariant, &Client::getVariant,
                                 QVariant(QVariantList{text, 3}))
                       << false << false;
        row("globals string") << byKey(&Client::setGlobalsString, &Client::getGlobalsString, text)
                              << true << false;
    }
    // Far larger than the server may grow by: its content goes to and from
    // the disk in pieces.
    const QString big = m_work.filePath(QStringLiteral("large.bin"));
    QFile file(big);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < fileMiB; ++i) {
        block.fill(char(i * 37));
        block.replace(0, 4, reinterpret_cast<const char *>(&i), 4);
        QVERIFY(file.write(block) == block.size());
    }
    file.close();
    QTest::addRow("file of %d MiB", fileMiB) << fileTrip(Uuid, big) << false << true;
}

void tst_ServerClient::largeValues()
{
    QFETCH(RoundTrip, trip);
    QFETCH(bool, pushed);
    QFETCH(bool, streamed);
    const QString key = QString::fromLatin1(QTest::currentDataTag());
    bool same = false;
    const qint64 pid = m_server->processId();
    // The peak is measured from here on: "5" resets it to the present size.
    QFile peakReset(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    const bool reset = peakReset.open(QIODevice::WriteOnly) && peakReset.write("5") == 1;
    peakReset.close();
    const qint64 idle = statusKiB(pid, reset ? "VmRSS" : "VmHWM");
    QVERIFY2(trip.set(*m_a, key), qPrintable(m_a->lastError()));
    if (pushed)
        QTRY_COMPARE_WITH_TIMEOUT(trip.get(*m_b, key, &same), 1, 60000);
    else
        QCOMPARE(trip.get(*m_b, key, &same), 1);
    QVERIFY(same);
    if (streamed) {
        const qint64 peak = statusKiB(pid, "VmHWM");
        QVERIFY(idle > 0 && peak > 0);
        QVERIFY2(peak - idle <= 64 * 1024,
                 qPrintable(QStringLiteral("server peak %1 kB from %2 kB").arg(peak).arg(idle)));
    }
}

void tst_ServerClient::kindsKeptApart_data()
{
    QTest::addColumn<RoundTrip>("opcua");
    QTest::addColumn<RoundTrip>("mqtt");
    QTest::newRow("string") << byKind(VDS_IDENT_OPCUA, &Client::setString, &Client::getString,
                                      QStringLiteral("from opc ua"))
                            << byKind(VDS_IDENT_MQTT, &Client::setString, &Client::getString,
                                      QStringLiteral("from mqtt"));
    QTest::newRow("double") << byKind(VDS_IDENT_OPCUA, &Client::setDouble, &Client::getDouble, 2.5)
                            << byKind(VDS_IDENT_MQTT, &Client::setDouble, &Client::getDouble,
                                      -0.75);
    QTest::newRow("int") << byKind(VDS_IDENT_OPCUA, &Client::setInt, &Client::getInt, 7)
                         << byKind(VDS_IDENT_MQTT, &Client::setInt, &Client::getInt, -7);
}

void tst_ServerClient::kindsKeptApart()
{
    QFETCH(RoundTrip, opcua);
    QFETCH(RoundTrip, mqtt);
    // One key for both kinds: each must keep its own value.
    const QString key = QStringLiteral("ns=2;s=Line1.") + QTest::currentDataTag();
    bool same = false;
    QVERIFY2(opcua.set(*m_a, key), qPrintable(m_a->lastError()));
    QVERIFY2(mqtt.set(*m_a, key), qPrintable(m_a->lastError()));
    QCOMPARE(opcua.get(*m_b, key, &same), 1);
    QVERIFY(same);
    QCOMPARE(mqtt.get(*m_b, key, &same), 1);
    QVERIFY(same);
    QCOMPARE(mqtt.get(*m_b, key + QStringLiteral(".missing"), &same), 0);
}

void tst_ServerClient::globalsPushedToOtherClients_data()
{
    QTest::addColumn<RoundTrip>("trip");
    const QString text = QStringLiteral("Schicht B");
    QTest::newRow("string") << byKey(&Client::setGlobalsString, &Client::getGlobalsString, text);
    QTest::newRow("double") << byKey(&Client::setGlobalsDouble, &Client::getGlobalsDouble, -3.5);
    QTest::newRow("int") << byKey(&Client::setGlobalsInt, &Client::getGlobalsInt, 42);
    QTest::newRow("variant holding an int")
        << byKey(&Client::setGlobalsVariant, &Client::getGlobalsVariant, QVariant(9));
    QTest::newRow("variant holding a text")
        << byKey(&Client::setGlobalsVariant, &Client::getGlobalsVariant, QVariant(text));
}

void tst_ServerClient::globalsPushedToOtherClients()
{
    QFETCH(RoundTrip, trip);
    const QString key = QStringLiteral("global ") + QTest::currentDataTag();
    bool same = false;
    QVERIFY2(trip.set(*m_a, key), qPrintable(m_a->lastError()));
    // Never asked for: the value is in the reader's cache once the server has pushed it.
    QTRY_COMPARE(trip.get(*m_b, key, &same), 1);
    QVERIFY(same);
    QVERIFY2(m_a->removeGlobals(key), qPrintable(m_a->lastError()));
    QTRY_COMPARE(trip.get(*m_b, key, &same), 0);
}

void tst_ServerClient::changeNotifications_data()
{
    QTest::addColumn<QString>("uuid");
    QTest::newRow("with uuid") << Uuid;
    QTest::newRow("without uuid") << QString();
}

void tst_ServerClient::changeNotifications()
{
    QFETCH(QString, uuid);
    const QString key = QStringLiteral("watched ") + QTest::currentDataTag();
    const QString dropped = key + QStringLiteral(" no longer watched");
    const auto watch = [&](const QString &name, bool on) {
        uuid.isNull() ? m_a->autoUpdate(name, on) : m_a->autoUpdate(name, uuid, on);
    };
    m_changes.clear();
    m_a->setAutoUpdateCallback([this](const QString &kind, const QString &changedKey,
                                      const QString &changedUuid) {
        // Every client hears of removed globals, watched or not: not at issue here.
        if (kind != QLatin1String("runtime"))
            return;
        int value = -1;
        const int result = m_a->getInt(changedKey, changedUuid, &value);
        m_changes
            << QStringLiteral("%1 [%2] %3 %4").arg(changedKey, changedUuid).arg(result).arg(value);
    });
    const auto change = [&](int result, int value) {
        return QStringLiteral("%1 [%2] %3 %4").arg(key, uuid).arg(result).arg(value);
    };
    const auto changes = [this] { return m_changes.join(QStringLiteral(" | ")); };

    watch(key, true);
    watch(dropped, true);
    watch(dropped, false);
    // Answered on the same connection, so the server has taken the switches before.
    QVERIFY(m_a->setInt(key + QStringLiteral(" sync"), 0));

    // The server answers in order: a notification of `dropped` would come first.
    QVERIFY(m_b->setInt(dropped, uuid, 1));
    QVERIFY(m_b->setInt(key, uuid, 5));
    QTRY_COMPARE(changes(), change(1, 5));
    m_changes.clear();
    QVERIFY(m_b->removeValue(key, uuid));
    QTRY_COMPARE(changes(), change(0, -1));
    watch(key, false);
}

void tst_ServerClient::clearClientsCacheEmptiesOtherClients()
{
    const QString key = QStringLiteral("cached global");
    int value = 0;
    QVERIFY(m_a->setGlobalsInt(key, 11));
    QTRY_COMPARE(m_b->getGlobalsInt(key, &value), 1);
    QCOMPARE(value, 11);

    QVERIFY(m_a->sendCommand(QStringLiteral("Clear Clients Cache"), {}));
    QTRY_COMPARE(m_b->getGlobalsInt(key, &value), 0);

    QVERIFY(m_a->setGlobalsInt(key, 12));
    QTRY_COMPARE(m_b->getGlobalsInt(key, &value), 1);
    QCOMPARE(value, 12);
}

void tst_ServerClient::reconnectsAfterServerRestart()
{
    const QString global = QStringLiteral("global kept");
    QString text;
    QVERIFY(m_a->setInt(QStringLiteral("kept"), Uuid, 21));
    const RoundTrip file = fileTrip(Uuid, m_file);
    QVERIFY2(file.set(*m_a, QStringLiteral("file kept")), qPrintable(m_a->lastError()));
    QVERIFY(m_a->setGlobalsString(global, QStringLiteral("g")));
    QTRY_COMPARE(m_a->getGlobalsString(global, &text), 1);

    QCOMPARE(m_server->terminate(), 0);
    QVERIFY2(m_server->start({QStringLiteral("--port"), QString::number(m_port)}),
             m_server->errorOutput().constData());

    int value = 0;
    QCOMPARE(m_a->getInt(QStringLiteral("kept"), Uuid, &value), 1);
    QCOMPARE(value, 21);
    bool same = false;
    QCOMPARE(file.get(*m_a, QStringLiteral("file kept"), &same), 1);
    QVERIFY(same);
    // The lost connection emptied the cache; the new one brings the globals again.
    text.clear();
    QTRY_COMPARE(m_a->getGlobalsString(global, &text), 1);
    QCOMPARE(text, QStringLiteral("g"));
}

QTEST_GUILESS_MAIN(tst_ServerClient)
#include "tst_server_client.moc"
