// Drives the real VelDataServer program with raw frames over loopback sockets.

#include "ActionPackage.h"
#include "AutoUpdatePackage.h"
#include "BoolPackage.h"
#include "CommandPackage.h"
#include "DoubleListPackage.h"
#include "DoublePackage.h"
#include "FilePackage.h"
#include "FrameBytes.h"
#include "IdentDataGlobals.h"
#include "IdentDataMqtt.h"
#include "IdentDataOpcua.h"
#include "IdentDataRuntime.h"
#include "IdentifyPackage.h"
#include "IntListPackage.h"
#include "IntPackage.h"
#include "ListTypes.h"
#include "RawClient.h"
#include "ResponsePackage.h"
#include "ServerProcess.h"
#include "StatusAgentPackage.h"
#include "StringListPackage.h"
#include "StringPackage.h"
#include "TestSupport.h"
#include "VariantPackage.h"
#include "VdsProtocol.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSharedMemory>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

using Maker = std::function<BasicPackage *(int packageId)>;
Q_DECLARE_METATYPE(Maker)

namespace {

IdentData *runtime(const QString &key)
{
    return new IdentDataRuntime(key, QStringLiteral("uuid-1"));
}

IdentData *globals(const QString &key)
{
    return new IdentDataGlobals(key);
}

/// `size` bytes of a pattern that differs from piece to piece, in the 64 KiB
/// pieces a client sends.
QList<QByteArray *> content(int size)
{
    QList<QByteArray *> pieces;
    for (int offset = 0; offset < size; offset += HeaderDecoder::PACKAGE_CHUNK_SIZE) {
        auto *piece = new QByteArray(qMin(size - offset, HeaderDecoder::PACKAGE_CHUNK_SIZE), 0);
        for (int i = 0; i < piece->size(); ++i)
            (*piece)[i] = char((offset + i) * 7 / 3);
        pieces.append(piece);
    }
    return pieces;
}

FilePackage *file(int id, IdentData *ident, int size)
{
    return new FilePackage(id, ident, QStringLiteral("data-%1.bin").arg(size), content(size));
}

/// A readable summary, so that a wrong answer shows what came instead.
QString describe(const BasicPackagePtr &package)
{
    if (!package)
        return QStringLiteral("nothing");
    const int id = package->packageId();
    if (const auto response = package.dynamicCast<ResponsePackage>())
        return QStringLiteral("response %1 code %2 %3")
            .arg(id)
            .arg(response->responseCode())
            .arg(response->message());
    if (const auto update = package.dynamicCast<AutoUpdatePackage>())
        return QStringLiteral("auto-update %1 mode %2 %3")
            .arg(id)
            .arg(update->mode())
            .arg(update->ident()->toString());
    if (const auto command = package.dynamicCast<CommandPackage>())
        return QStringLiteral("command %1 %2 [%3]")
            .arg(id)
            .arg(command->command(), command->params().join(QLatin1Char(',')));
    if (const auto value = package.dynamicCast<DataPackage>())
        return QStringLiteral("value %1 type %2 %3")
            .arg(id)
            .arg(package->type())
            .arg(value->ident()->toString());
    return QStringLiteral("package %1 type %2").arg(id).arg(package->type());
}

QString response(int id, int code, const QString &message = QString())
{
    return QStringLiteral("response %1 code %2 %3").arg(id).arg(code).arg(message);
}

QString notification(const QString &identText)
{
    return QStringLiteral("auto-update 0 mode 3 %1").arg(identText);
}

QByteArray frameOf(const BasicPackagePtr &package)
{
    return package ? FrameBytes::encode(*package) : QByteArray();
}

QByteArray frameOf(BasicPackage *package)
{
    const std::unique_ptr<BasicPackage> owned(package);
    return FrameBytes::encode(*owned);
}

} // namespace

class tst_Server : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void setThenGet_data();
    void setThenGet();
    void setReplacesAValueOfAnyType();
    void fileTransferOutlivesItsReplacement();
    void removeAndUnknownValues();
    void badRequests_data();
    void badRequests();
    void subscriptionsAcrossConnections();
    void globalsPushedOnInitAndOnSet();
    void clearClientsCacheForwarded_data();
    void clearClientsCacheForwarded();
    void persistence_data();
    void persistence();
    void tls();
    void faultyClientAlone_data();
    void faultyClientAlone();
    void fileWithoutRoom_data();
    void fileWithoutRoom();
    void shutdownReleasesReadinessBlock();
    void staleBlockCleanedAtStart();
    void refusesSecondServer_data();
    void refusesSecondServer();
    void unusableDataFolder_data();
    void unusableDataFolder();
    void portFromSettings();

private:
    bool startServer(const QStringList &arguments = {});
    /// A folder for XDG_CONFIG_DIRS whose settings file holds `lines`.
    QString settingsFolder(const QString &lines);
    /// Sets values of several kinds, files among them, some replaced or removed.
    void storeSample(RawClient &client);
    void checkSample(RawClient &client, bool kept);
    /// The files in the server's folder of stored files.
    QStringList storedFiles() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ServerProcess> m_server;
};

void tst_Server::initTestCase()
{
    ListTypes::registerStreamOperators();
    QVERIFY(QFile::exists(QCoreApplication::applicationDirPath() + "/VelDataServer"));
}

void tst_Server::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_Server::cleanup()
{
    if (QTest::currentTestFailed() && m_server)
        qWarning().noquote() << "server log:\n" << m_server->errorOutput();
    m_server.reset();
    m_dir.reset();
}

bool tst_Server::startServer(const QStringList &arguments)
{
    m_server = std::make_unique<ServerProcess>(m_dir->filePath(QStringLiteral("data")));
    return m_server->start(arguments);
}

QStringList tst_Server::storedFiles() const
{
    return QDir(m_dir->filePath(QStringLiteral("data/files"))).entryList(QDir::Files);
}

QString tst_Server::settingsFolder(const QString &lines)
{
    const QString folder = m_dir->filePath(QStringLiteral("xdg"));
    QDir().mkpath(folder + QStringLiteral("/Haltra"));
    QFile settings(folder + QStringLiteral("/Haltra/VelDataServer.conf"));
    if (settings.open(QIODevice::WriteOnly))
        settings.write("[Settings]\n" + lines.toUtf8() + "\n");
    return folder;
}

void tst_Server::setThenGet_data()
{
    QTest::addColumn<Maker>("make");
    QTest::addColumn<bool>("overIPv6");

    QTest::newRow("string, runtime") << Maker([](int id) {
        return new StringPackage(id, runtime("s"), QStringLiteral("h\u00e9llo"));
    }) << false;
    QTest::newRow("null string, null uuid") << Maker([](int id) {
        return new StringPackage(id, new IdentDataRuntime(QStringLiteral("n"), QString()),
                                 QString());
    }) << true;
    QTest::newRow("double, globals")
        << Maker([](int id) { return new DoublePackage(id, globals("d"), -3.25e-7); }) << true;
    QTest::newRow("int, opcua") << Maker([](int id) {
        return new IntPackage(id, new IdentDataOpcua(QStringLiteral("ns=2;s=x")), -7);
    }) << false;
    QTest::newRow("bool, mqtt") << Maker([](int id) {
        return new BoolPackage(id, new IdentDataMqtt(QStringLiteral("plant/1")), true);
    }) << true;
    QTest::newRow("string list") << Maker([](int id) {
        return new StringListPackage(id, runtime("sl"), {QStringLiteral("a"), QString()});
    }) << false;
    QTest::newRow("double list") << Maker([](int id) {
        return new DoubleListPackage(id, runtime("dl"), {0.5, -1e300});
    }) << false;
    QTest::newRow("int list") << Maker([](int id) {
        return new IntListPackage(id, runtime("il"), {1, -1, 0});
    }) << false;
    QTest::newRow("variant holding points") << Maker([](int id) {
        return new VariantPackage(id, runtime("vp"),
                                  QVariant::fromValue(QList<QPoint>{{1, 2}, {-3, 4}}));
    }) << false;
    QTest::newRow("empty file") << Maker([](int id) { return file(id, runtime("f0"), 0); })
                                << false;
    QTest::newRow("5 MiB file") << Maker([](int id) { return file(id, runtime("f5"), 5 << 20); })
                                << false;
}

void tst_Server::setThenGet()
{
    QFETCH(Maker, make);
    QFETCH(bool, overIPv6);
    QVERIFY(startServer());
    RawClient client;
    QVERIFY(client.connectTo(m_server->port(), overIPv6 ? QHostAddress(QHostAddress::LocalHostIPv6)
                                                        : QHostAddress(QHostAddress::LocalHost)));

    const std::unique_ptr<BasicPackage> set(make(11));
    QCOMPARE(describe(client.exchange(*set)), response(11, ResponsePackage::Done));
    const IdentData *ident = static_cast<DataPackage *>(set.get())->ident();
    const BasicPackagePtr got =
        client.exchange(ActionPackage(12, ident->clone(), ActionPackage::Get));
    const QString identText = ident->toString();
    QCOMPARE(describe(got), QStringLiteral("value 12 type %1 %2").arg(set->type()).arg(identText));
    QCOMPARE(frameOf(got), frameOf(make(12)));
    QVERIFY(client.isQuiet());
}

void tst_Server::setReplacesAValueOfAnyType()
{
    QVERIFY(startServer());
    RawClient client;
    QVERIFY(client.connectTo(m_server->port()));
    const QList<Maker> sequence{
        [](int id) { return file(id, runtime("k"), 200000); },
        [](int id) { return new IntPackage(id, runtime("k"), 1); },
        [](int id) { return file(id, runtime("k"), 70000); },
        [](int id) { return new StringPackage(id, runtime("k"), QStringLiteral("last")); },
    };
    int id = 1;
    for (const Maker &make : sequence) {
        QCOMPARE(describe(client.exchange(*std::unique_ptr<BasicPackage>(make(id)))),
                 response(id, ResponsePackage::Done));
        ++id;
        QCOMPARE(frameOf(client.exchange(ActionPackage(id, runtime("k"), ActionPackage::Get))),
                 frameOf(make(id)));
        ++id;
    }
}

void tst_Server::fileTransferOutlivesItsReplacement()
{
    QVERIFY(startServer());
    RawClient reader, writer;
    QVERIFY(reader.connectTo(m_server->port()));
    QVERIFY(writer.connectTo(m_server->port()));
    // Larger than what the socket buffers of both ends hold, so most pieces
    // are still in the store when the value changes.
    const int size = 32 << 20;
    QCOMPARE(describe(writer.exchange(*std::unique_ptr<FilePackage>(file(1, runtime("f"), size)))),
             response(1, ResponsePackage::Done));

    reader.send(ActionPackage(2, runtime("f"), ActionPackage::Get));
    reader.send(ActionPackage(3, runtime("f"), ActionPackage::Get));
    reader.send(ActionPackage(4, runtime("none"), ActionPackage::Get));
    QVERIFY(reader.socket().waitForReadyRead(RawClient::WaitMs));
    QCOMPARE(describe(writer.exchange(IntPackage(4, runtime("f"), 9))),
             response(4, ResponsePackage::Done));
    // Both transfers end with the old content; answers keep request order.
    QCOMPARE(frameOf(reader.next()), frameOf(file(2, runtime("f"), size)));
    QCOMPARE(frameOf(reader.next()), frameOf(file(3, runtime("f"), size)));
    QCOMPARE(describe(reader.next()),
             response(4, ResponsePackage::NotFound,
                      QStringLiteral("Unknown value: runtime Key: none; UUID: uuid-1")));
    QCOMPARE(frameOf(reader.exchange(ActionPackage(5, runtime("f"), ActionPackage::Get))),
             frameOf(new IntPackage(5, runtime("f"), 9)));
}

void tst_Server::removeAndUnknownValues()
{
    QVERIFY(startServer());
    RawClient client;
    QVERIFY(client.connectTo(m_server->port()));
    const QString unknown = QStringLiteral("Unknown value: runtime Key: r; UUID: uuid-1");

    QCOMPARE(describe(client.exchange(ActionPackage(1, runtime("r"), ActionPackage::Get))),
             response(1, ResponsePackage::NotFound, unknown));
    QCOMPARE(describe(client.exchange(ActionPackage(2, runtime("r"), ActionPackage::Remove))),
             response(2, ResponsePackage::NotFound, unknown));
    QCOMPARE(describe(client.exchange(IntPackage(3, runtime("r"), 5))),
             response(3, ResponsePackage::Done));
    // Another uuid names another value.
    QCOMPARE(describe(client.exchange(ActionPackage(
                 4, new IdentDataRuntime(QStringLiteral("r"), QString()), ActionPackage::Remove))),
             response(4, ResponsePackage::NotFound,
                      QStringLiteral("Unknown value: runtime Key: r; UUID: ")));
    QCOMPARE(describe(client.exchange(ActionPackage(5, runtime("r"), ActionPackage::Remove))),
             response(5, ResponsePackage::Done));
    QCOMPARE(describe(client.exchange(ActionPackage(6, runtime("r"), ActionPackage::Get))),
             response(6, ResponsePackage::NotFound, unknown));
    QCOMPARE(describe(client.exchange(ActionPackage(7, runtime("r"), ActionPackage::Remove))),
             response(7, ResponsePackage::NotFound, unknown));
}

void tst_Server::badRequests_data()
{
    QTest::addColumn<Maker>("make");
    QTest::addColumn<QString>("reason");

    QTest::newRow("set, unknown kind")
        << Maker([](int id) { return new IntPackage(id, new IdentData(), 1); })
        << "kind \"unknown\"";
    QTest::newRow("set, kind text in wrong case") << Maker([](int id) {
        return new StringPackage(id, new IdentData(QStringLiteral("Runtime")), QStringLiteral("x"));
    }) << "kind \"unknown\"";
    QTest::newRow("remove, unknown kind") << Maker([](int id) {
        return new ActionPackage(id, new IdentData(), ActionPackage::Remove);
    }) << "kind \"unknown\"";
    QTest::newRow("action 3") << Maker([](int id) {
        return new ActionPackage(id, runtime("a"), 3);
    }) << "unknown action 3 for runtime Key: a; UUID: uuid-1";
    QTest::newRow("auto-update mode 3 from a client")
        << Maker([](int id) { return new AutoUpdatePackage(id, runtime("a"), 3); })
        << "unknown auto-update mode 3";
    QTest::newRow("auto-update, unknown kind") << Maker([](int id) {
        return new AutoUpdatePackage(id, new IdentData(), AutoUpdatePackage::On);
    }) << "kind \"unknown\"";
    QTest::newRow("response from a client")
        << Maker([](int id) { return new ResponsePackage(id, ResponsePackage::Done, QString()); })
        << "response packages";
}

void tst_Server::badRequests()
{
    QFETCH(Maker, make);
    QFETCH(QString, reason);
    QVERIFY(startServer());
    RawClient client;
    QVERIFY(client.connectTo(m_server->port()));

    const BasicPackagePtr answer = client.exchange(*std::unique_ptr<BasicPackage>(make(42)));
    const auto refusal = answer.dynamicCast<ResponsePackage>();
    QVERIFY2(refusal, qPrintable(describe(answer)));
    QCOMPARE(refusal->packageId(), 42);
    QCOMPARE(refusal->responseCode(), int(ResponsePackage::Failed));
    QVERIFY2(refusal->message().contains(reason), qPrintable(refusal->message()));
    // The connection goes on.
    QVERIFY(client.isQuiet());
}

void tst_Server::subscriptionsAcrossConnections()
{
    QVERIFY(startServer());
    RawClient watcher, writer;
    QVERIFY(watcher.connectTo(m_server->port()));
    QVERIFY(writer.connectTo(m_server->port(), QHostAddress::LocalHostIPv6));
    const QString watched = QStringLiteral("runtime Key: w; UUID: uuid-1");

    watcher.send(AutoUpdatePackage(1, runtime("w"), AutoUpdatePackage::On));
    QVERIFY(watcher.isQuiet());
    QCOMPARE(describe(writer.exchange(IntPackage(2, runtime("w"), 1))),
             response(2, ResponsePackage::Done));
    QCOMPARE(describe(watcher.next()), notification(watched));
    QCOMPARE(describe(writer.exchange(IntPackage(3, runtime("other"), 1))),
             response(3, ResponsePackage::Done));
    QVERIFY(watcher.isQuiet());
    QVERIFY(writer.isQuiet());
    // A removal is a change too, a failed one is not.
    QCOMPARE(describe(writer.exchange(ActionPackage(4, runtime("w"), ActionPackage::Remove))),
             response(4, ResponsePackage::Done));
    QCOMPARE(describe(watcher.next()), notification(watched));
    QCOMPARE(describe(writer.exchange(ActionPackage(5, runtime("w"), ActionPackage::Remove))),
             response(5, ResponsePackage::NotFound, QStringLiteral("Unknown value: ") + watched));
    QVERIFY(watcher.isQuiet());
    // The subscriber's own change reaches it after its answer.
    QCOMPARE(describe(watcher.exchange(StringPackage(6, runtime("w"), QStringLiteral("x")))),
             response(6, ResponsePackage::Done));
    QCOMPARE(describe(watcher.next()), notification(watched));

    watcher.send(AutoUpdatePackage(7, runtime("w"), AutoUpdatePackage::Off));
    QVERIFY(watcher.isQuiet());
    QCOMPARE(describe(writer.exchange(IntPackage(8, runtime("w"), 2))),
             response(8, ResponsePackage::Done));
    QVERIFY(watcher.isQuiet());
}

void tst_Server::globalsPushedOnInitAndOnSet()
{
    QVERIFY(startServer());
    RawClient writer, reader, anonymous;
    QVERIFY(writer.connectTo(m_server->port()));
    QVERIFY(anonymous.connectTo(m_server->port()));
    QCOMPARE(describe(writer.exchange(IntPackage(1, globals("g"), 1))),
             response(1, ResponsePackage::Done));
    QCOMPARE(
        describe(writer.exchange(*std::unique_ptr<FilePackage>(file(2, globals("gf"), 70000)))),
        response(2, ResponsePackage::Done));
    QCOMPARE(describe(writer.exchange(IntPackage(3, runtime("r"), 1))),
             response(3, ResponsePackage::Done));

    QVERIFY(reader.connectTo(m_server->port()));
    QCOMPARE(describe(reader.exchange(IdentifyPackage(0, QStringLiteral("/bin/reader"), true))),
             response(0, ResponsePackage::InitAcknowledged));
    QMap<QString, QByteArray> pushed;
    for (int i = 0; i < 2; ++i) {
        const BasicPackagePtr value = reader.next();
        QVERIFY2(value.dynamicCast<DataPackage>(), qPrintable(describe(value)));
        pushed.insert(describe(value), frameOf(value));
    }
    QCOMPARE(pushed.value(QStringLiteral("value 0 type 5 globals Key: g")),
             frameOf(new IntPackage(0, globals("g"), 1)));
    QCOMPARE(pushed.value(QStringLiteral("value 0 type 10 globals Key: gf")),
             frameOf(file(0, globals("gf"), 70000)));
    QVERIFY(reader.isQuiet());

    QCOMPARE(describe(writer.exchange(DoublePackage(4, globals("g"), 2.5))),
             response(4, ResponsePackage::Done));
    QCOMPARE(frameOf(reader.next()), frameOf(new DoublePackage(0, globals("g"), 2.5)));
    QCOMPARE(describe(writer.exchange(ActionPackage(5, globals("g"), ActionPackage::Remove))),
             response(5, ResponsePackage::Done));
    QCOMPARE(describe(reader.next()), notification(QStringLiteral("globals Key: g")));
    // Only identified connections are pushed to.
    QVERIFY(writer.isQuiet());
    QVERIFY(anonymous.isQuiet());
    QVERIFY(reader.isQuiet());
}

void tst_Server::clearClientsCacheForwarded_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("forwarded");

    QTest::newRow("lower case") << "clear clients cache" << true;
    QTest::newRow("mixed case") << "Clear Clients CACHE" << true;
    QTest::newRow("another command") << "clear client cache" << false;
}

void tst_Server::clearClientsCacheForwarded()
{
    QFETCH(QString, command);
    QFETCH(bool, forwarded);
    QVERIFY(startServer());
    RawClient sender, other;
    QVERIFY(sender.connectTo(m_server->port()));
    QVERIFY(other.connectTo(m_server->port()));
    QVERIFY(other.isQuiet());

    sender.send(StatusAgentPackage(1, QStringLiteral("busy with batch 7")));
    sender.send(CommandPackage(2, command, {QStringLiteral("p1"), QStringLiteral("p2")}));
    for (RawClient *client : {&sender, &other}) {
        if (forwarded)
            QCOMPARE(describe(client->next()), QStringLiteral("command 0 %1 [p1,p2]").arg(command));
        QVERIFY(client->isQuiet());
    }
    QCOMPARE(m_server->terminate(), 0);
    const QByteArray log = m_server->errorOutput();
    QVERIFY2(log.contains("busy with batch 7"), log.constData());
    QVERIFY2(log.contains(command.toUtf8()), log.constData());
}

void tst_Server::storeSample(RawClient &client)
{
    QCOMPARE(describe(client.exchange(IntPackage(1, runtime("i"), 42))),
             response(1, ResponsePackage::Done));
    QCOMPARE(describe(client.exchange(StringPackage(2, globals("s"), QStringLiteral("kept")))),
             response(2, ResponsePackage::Done));
    QCOMPARE(
        describe(client.exchange(*std::unique_ptr<FilePackage>(file(3, runtime("f"), 300000)))),
        response(3, ResponsePackage::Done));
    // Replaced and removed values must stay so.
    QCOMPARE(
        describe(client.exchange(*std::unique_ptr<FilePackage>(file(4, runtime("g"), 100000)))),
        response(4, ResponsePackage::Done));
    QCOMPARE(describe(client.exchange(IntPackage(5, runtime("g"), 8))),
             response(5, ResponsePackage::Done));
    QCOMPARE(describe(client.exchange(IntPackage(6, runtime("gone"), 1))),
             response(6, ResponsePackage::Done));
    QCOMPARE(describe(client.exchange(ActionPackage(7, runtime("gone"), ActionPackage::Remove))),
             response(7, ResponsePackage::Done));
}

void tst_Server::checkSample(RawClient &client, bool kept)
{
    const QList<DataPackage *> expected{
        new IntPackage(10, runtime("i"), 42),
        new StringPackage(10, globals("s"), QStringLiteral("kept")),
        file(10, runtime("f"), 300000),
        new IntPackage(10, runtime("g"), 8),
    };
    for (DataPackage *value : expected) {
        const QString identText = value->ident()->toString();
        const BasicPackagePtr got =
            client.exchange(ActionPackage(10, value->ident()->clone(), ActionPackage::Get));
        const QByteArray want = frameOf(value);
        if (kept)
            QCOMPARE(frameOf(got), want);
        else
            QCOMPARE(describe(got), response(10, ResponsePackage::NotFound,
                                             QStringLiteral("Unknown value: ") + identText));
    }
    QCOMPARE(describe(client.exchange(ActionPackage(11, runtime("gone"), ActionPackage::Get))),
             response(11, ResponsePackage::NotFound,
                      QStringLiteral("Unknown value: runtime Key: gone; UUID: uuid-1")));
}

void tst_Server::persistence_data()
{
    QTest::addColumn<bool>("kill");
    QTest::addColumn<bool>("inMemory");

    QTest::newRow("restart after SIGTERM") << false << false;
    QTest::newRow("restart after SIGKILL") << true << false;
    QTest::newRow("in memory only") << false << true;
}

void tst_Server::persistence()
{
    QFETCH(bool, kill);
    QFETCH(bool, inMemory);
    const QStringList arguments =
        inMemory ? QStringList{QStringLiteral("--in-memory")} : QStringList();
    QVERIFY(startServer(arguments));
    {
        RawClient client;
        QVERIFY(client.connectTo(m_server->port()));
        storeSample(client);
        if (QTest::currentTestFailed())
            return;
    }
    // The replaced file is gone from the disk once its replacement is answered.
    QCOMPARE(storedFiles().size(), inMemory ? 0 : 1);
    if (kill)
        m_server->kill();
    else
        QCOMPARE(m_server->terminate(), 0);
    if (!inMemory) {
        // As a server killed while a file arrived leaves it.
        QFile partial(m_dir->filePath(QStringLiteral("data/files/99.part")));
        QVERIFY(partial.open(QIODevice::WriteOnly) && partial.write("half") == 4);
    }

    QVERIFY(m_server->start(arguments));
    RawClient client;
    QVERIFY(client.connectTo(m_server->port()));
    checkSample(client, !inMemory);
    QCOMPARE(QFile::exists(m_dir->filePath(QStringLiteral("data/values.sqlite"))), !inMemory);
    QCOMPARE(storedFiles().size(), inMemory ? 0 : 1);
}

void tst_Server::tls()
{
    m_server = std::make_unique<ServerProcess>(m_dir->filePath(QStringLiteral("data")));
    m_server->setEnvironment(QStringLiteral("XDG_CONFIG_DIRS"),
                             settingsFolder(QStringLiteral("encryption=1")));
    QVERIFY(m_server->start());
    const QString certificatePath = m_dir->filePath(QStringLiteral("data/tls-certificate.pem"));
    QFile certificateFile(certificatePath);
    QVERIFY(certificateFile.open(QIODevice::ReadOnly));
    const QSslCertificate generated(certificateFile.readAll(), QSsl::Pem);
    QVERIFY(!generated.isNull());
    QVERIFY(generated.subjectAlternativeNames().values(QSsl::IpAddressEntry).contains("127.0.0.1"));

    for (int run = 0; run < 2; ++run) {
        RawClient client;
        QVERIFY(client.connectTo(m_server->port(), QHostAddress::LocalHost, true));
        QCOMPARE(client.socket().peerCertificate(), generated);
        QCOMPARE(describe(client.exchange(IdentifyPackage(0, QStringLiteral("tls"), true))),
                 response(0, ResponsePackage::InitAcknowledged));
        QCOMPARE(describe(client.exchange(IntPackage(run + 1, runtime("t"), run))),
                 response(run + 1, ResponsePackage::Done));
        QCOMPARE(frameOf(client.exchange(ActionPackage(9, runtime("t"), ActionPackage::Get))),
                 frameOf(new IntPackage(9, runtime("t"), run)));
        // Generated once: a restart presents the same certificate.
        QCOMPARE(m_server->terminate(), 0);
        QVERIFY(m_server->start());
    }

    RawClient plain;
    QVERIFY(plain.connectTo(m_server->port()));
    plain.send(IdentifyPackage(0, QStringLiteral("plain"), true));
    QVERIFY(plain.waitForDisconnected());
    QCOMPARE(describe(plain.next()), QStringLiteral("nothing"));

    // A configured pair is used as it is, and nothing is generated.
    QCOMPARE(m_server->terminate(), 0);
    const QString otherDir = m_dir->filePath(QStringLiteral("other"));
    m_server = std::make_unique<ServerProcess>(otherDir);
    m_server->setEnvironment(QStringLiteral("XDG_CONFIG_DIRS"), m_dir->filePath("xdg"));
    QVERIFY(
        m_server->start({QStringLiteral("--tls-cert"), certificatePath, QStringLiteral("--tls-key"),
                         m_dir->filePath(QStringLiteral("data/tls-key.pem"))}));
    RawClient configured;
    QVERIFY(configured.connectTo(m_server->port(), QHostAddress::LocalHostIPv6, true));
    QCOMPARE(configured.socket().peerCertificate(), generated);
    QVERIFY(!QFile::exists(otherDir + QStringLiteral("/tls-certificate.pem")));
}

void tst_Server::faultyClientAlone_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QByteArray>("logged");

    const QByteArray dropped(" dropped: ");
    const QByteArray refused(" refused: Request too large: ");
    QTest::newRow("garbage") << QStringList() << QByteArray(100, char(0xab)) << QStringList()
                             << dropped;
    QTest::newRow("type code 13") << QStringList()
                                  << FrameBytes::header(13, 1, 4) + QByteArray(4, 'x')
                                  << QStringList() << dropped;
    QTest::newRow("negative payload size")
        << QStringList() << FrameBytes::header(5, 1, -1) << QStringList() << dropped;
    // Refused from its header alone, under its package id, before the close.
    QTest::newRow("header announcing 2 GiB")
        << QStringList() << FrameBytes::header(3, 7, qint64(2) << 30)
        << QStringList{response(7, ResponsePackage::Failed,
                                "Request too large: 2147483648 bytes, limit 1073741808")}
        << refused;

    // 16 header bytes, 30 identifier bytes, 4 for the length: 50 + 2 per character.
    const QStringList limit{QStringLiteral("--max-frame-size"), QStringLiteral("4096")};
    const QByteArray over =
        frameOf(new StringPackage(3, new IdentDataRuntime("k", "u"), QString(2024, 'x')));
    QTest::newRow("frame at --max-frame-size")
        << limit
        << frameOf(new StringPackage(1, new IdentDataRuntime("k", "u"), QString(2023, 'x')))
        << QStringList{response(1, ResponsePackage::Done)} << QByteArray();
    QTest::newRow("frame just over --max-frame-size")
        << limit << over
        << QStringList{response(3, ResponsePackage::Failed,
                                "Request too large: 4082 bytes, limit 4080")}
        << refused;
    QTest::newRow("answers before a refused frame still arrive")
        << limit << frameOf(new IntPackage(2, new IdentDataRuntime("k", "u"), 1)) + over
        << QStringList{response(2, ResponsePackage::Done),
                       response(3, ResponsePackage::Failed,
                                "Request too large: 4082 bytes, limit 4080")}
        << refused;
    // A file is not held in memory: the frame limit is not its limit. One
    // over its own limit is refused, the rest of it read and dropped, and the
    // connection goes on.
    QTest::newRow("file over --max-frame-size")
        << limit
        << frameOf(file(4, runtime("f"), 5000)) + frameOf(new IntPackage(5, runtime("k"), 1))
        << QStringList{response(4, ResponsePackage::Done), response(5, ResponsePackage::Done)}
        << QByteArray();
    QTest::newRow("file over --max-file-size")
        << QStringList{QStringLiteral("--max-file-size"), QStringLiteral("199999")}
        << frameOf(file(4, runtime("f"), 200000)) + frameOf(new IntPackage(5, runtime("k"), 1))
        << QStringList{response(4, ResponsePackage::Failed,
                                "File too large: 200000 bytes, limit 199999"),
                       response(5, ResponsePackage::Done)}
        << QByteArray();
}

void tst_Server::faultyClientAlone()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, answers);
    QFETCH(QByteArray, logged);
    QVERIFY(startServer(arguments));
    RawClient good, faulty;
    QVERIFY(good.connectTo(m_server->port()));
    QVERIFY(faulty.connectTo(m_server->port()));
    QCOMPARE(describe(good.exchange(IntPackage(1, runtime("v"), 7))),
             response(1, ResponsePackage::Done));
    QCOMPARE(describe(faulty.exchange(IdentifyPackage(0, QStringLiteral("faulty"), true))),
             response(0, ResponsePackage::InitAcknowledged));

    faulty.sendBytes(bytes);
    for (const QString &answer : answers)
        QCOMPARE(describe(faulty.next()), answer);
    const bool closes = !logged.isEmpty();
    if (closes) {
        QVERIFY(faulty.waitForDisconnected());
        QCOMPARE(describe(faulty.next()), QStringLiteral("nothing"));
    }
    QCOMPARE(frameOf(good.exchange(ActionPackage(2, runtime("v"), ActionPackage::Get))),
             frameOf(new IntPackage(2, runtime("v"), 7)));
    QCOMPARE(m_server->terminate(), 0);
    if (closes)
        QVERIFY2(m_server->errorOutput().contains(logged), m_server->errorOutput().constData());
    else
        QVERIFY(!m_server->errorOutput().contains(" dropped: "));
    // A refused file leaves nothing behind, not even its temporary file.
    const bool stored = answers.value(0) == response(4, ResponsePackage::Done);
    QCOMPARE(storedFiles().size(), stored ? 1 : 0);
}

void tst_Server::fileWithoutRoom_data()
{
    QTest::addColumn<bool>("smallDisk");

    QTest::newRow("larger than the free space") << false;
    QTest::newRow("disk full while it arrives") << true;
}

void tst_Server::fileWithoutRoom()
{
    QFETCH(bool, smallDisk);
    const QString data = m_dir->filePath(QStringLiteral("data"));
    QVERIFY(QDir().mkpath(data));
    if (smallDisk) {
        // A mount namespace of this process alone (its server inherits it),
        // so the small file system is seen by no one else and goes with it.
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", QFile::encodeName(data).constData(), "tmpfs", 0, "size=8m") != 0)
            QSKIP("cannot mount a small file system here (needs root)");
    }
    const auto unmount = qScopeGuard([&] {
        if (smallDisk) {
            m_server.reset();
            ::umount2(QFile::encodeName(data).constData(), MNT_DETACH);
        }
    });
    // The file limit is not what refuses it.
    QVERIFY(startServer({QStringLiteral("--max-file-size"), QString::number(qint64(1) << 60)}));
    RawClient client;
    QVERIFY(client.connectTo(m_server->port()));
    QByteArray frame = frameOf(file(1, runtime("f"), 6 << 20));
    QString refusal;
    if (smallDisk) {
        // Room at first, none once part of it has arrived.
        client.sendBytes(frame.left(1 << 20));
        const QString files = data + QStringLiteral("/files");
        QTRY_VERIFY(!QDir(files).entryList({QStringLiteral("*.part")}, QDir::Files).isEmpty());
        QFile filler(data + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(64 << 10, 'x');
        for (int i = 0; i < 256 && filler.write(block) == block.size() && filler.flush(); ++i) {
        }
        filler.close();
        client.sendBytes(frame.mid(1 << 20));
        refusal = QStringLiteral("^Cannot store the file of \\d+ bytes after \\d+ of them: No "
                                 "space left on device \\(\\d+ bytes free in .*/files\\)$");
    } else {
        // Claims a petabyte: only the first chunk comes, and the refusal.
        QDataStream out(&frame, QIODevice::ReadWrite);
        out.device()->seek(8);
        out << (qint64(1) << 50);
        client.sendBytes(frame.left(BasicPackage::HeaderSize + (64 << 10)));
        refusal = QStringLiteral("^Not enough disk space for the file: \\d+ bytes, \\d+ bytes "
                                 "free in .*/files$");
    }
    const auto answer = client.next().dynamicCast<ResponsePackage>();
    QVERIFY(answer);
    QCOMPARE(answer->responseCode(), int(VdsProtocol::ResponseFailed));
    QVERIFY2(QRegularExpression(refusal).match(answer->message()).hasMatch(),
             qPrintable(answer->message()));
    QCOMPARE(storedFiles(), QStringList());
    if (smallDisk) {
        // The rest of the refused frame is dropped and the connection goes on.
        QVERIFY(QFile::remove(data + QStringLiteral("/filler")));
        QCOMPARE(describe(client.exchange(IntPackage(2, runtime("k"), 1))),
                 response(2, ResponsePackage::Done));
    }
}

void tst_Server::shutdownReleasesReadinessBlock()
{
    QSharedMemory block(QStringLiteral("VelDataServer-Ready"));
    QVERIFY(!block.attach());
    QVERIFY(startServer());
    QVERIFY(block.attach());
    QVERIFY(block.detach());
    RawClient client;
    QVERIFY(client.connectTo(m_server->port()));
    QCOMPARE(describe(client.exchange(IntPackage(1, runtime("v"), 7))),
             response(1, ResponsePackage::Done));

    QCOMPARE(m_server->terminate(), 0);
    QVERIFY(client.waitForDisconnected());
    QVERIFY(!block.attach());
}

void tst_Server::staleBlockCleanedAtStart()
{
    QVERIFY(startServer());
    // SIGKILL leaves the block behind: nothing detaches it.
    m_server->kill();
    QVERIFY2(m_server->start(), m_server->errorOutput().constData());
    QSharedMemory block(QStringLiteral("VelDataServer-Ready"));
    QVERIFY(block.attach());
    block.detach();
    RawClient client;
    QVERIFY(client.connectTo(m_server->port()));
    QVERIFY(client.isQuiet());
}

void tst_Server::refusesSecondServer_data()
{
    QTest::addColumn<bool>("samePort");
    QTest::addColumn<bool>("sameFolder");

    QTest::newRow("same port") << true << false;
    QTest::newRow("another port") << false << false;
    QTest::newRow("same data folder") << false << true;
}

// Refused by the running server's readiness block before anything else is
// tried, naming that server, and never saying "listening" (start() waits for
// that line).
void tst_Server::refusesSecondServer()
{
    QFETCH(bool, samePort);
    QFETCH(bool, sameFolder);
    QVERIFY(startServer());

    ServerProcess second(
        m_dir->filePath(sameFolder ? QStringLiteral("data") : QStringLiteral("second")));
    QVERIFY(!second.start(
        {QStringLiteral("--port"), QString::number(samePort ? m_server->port() : 0)}));
    QVERIFY(second.waitForExit() > 0);
    const QByteArray message = QStringLiteral("another VelDataServer is already running (pid %1, "
                                              "port %2)")
                                   .arg(m_server->processId())
                                   .arg(m_server->port())
                                   .toUtf8();
    QVERIFY2(second.errorOutput().contains(message), second.errorOutput().constData());

    RawClient client;
    QVERIFY(client.connectTo(m_server->port()));
    QVERIFY(client.isQuiet());
}

void tst_Server::unusableDataFolder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");

    QTest::newRow("a file in its place")
        << "file/data" << QByteArray()
        << "cannot create the data folder %1/file/data: %1/file is "
           "a file, not a folder";
    QTest::newRow("not writable") << "locked" << QByteArray()
                                  << "cannot write in the data folder %1/locked: no permission "
                                     "to create server.lock";
    QTest::newRow("database not a database")
        << "data" << QByteArray(8192, '\x5a')
        << "the database %1/data/values.sqlite is damaged (file is not a database";
    // A valid header over pages of garbage: only reading the pages finds it.
    QTest::newRow("damaged pages") << "data" << QByteArray("damaged pages")
                                   << "the database %1/data/values.sqlite is damaged (database "
                                      "disk image is malformed";
}

void tst_Server::unusableDataFolder()
{
    QFETCH(QString, folder);
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    const QString root = m_dir->path();
    QVERIFY(QDir(root).mkpath(QStringLiteral("locked")));
    QFile file(root + QStringLiteral("/file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    // Root may write anywhere but into an immutable folder.
    const QString locked = root + QStringLiteral("/locked");
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
    const bool immutable =
        ::geteuid() == 0 && QProcess::execute(QStringLiteral("chattr"), {"+i", locked}) == 0;
    const auto unlock = qScopeGuard([&] {
        if (immutable)
            QProcess::execute(QStringLiteral("chattr"), {"-i", locked});
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    if (folder == QLatin1String("locked") && ::geteuid() == 0 && !immutable)
        QSKIP("running as root on a file system without chattr +i");

    const QString database = root + QStringLiteral("/data/values.sqlite");
    if (content == "damaged pages") {
        QVERIFY(startServer());
        RawClient client;
        QVERIFY(client.connectTo(m_server->port()));
        for (int i = 0; i < 200; ++i)
            QCOMPARE(describe(client.exchange(
                         StringPackage(i + 1, runtime(QString::number(i)), QString(400, 'v')))),
                     response(i + 1, ResponsePackage::Done));
        QCOMPARE(m_server->terminate(), 0);
        QFile pages(database);
        QVERIFY(pages.open(QIODevice::ReadWrite));
        QVERIFY(pages.size() > 5 * 4096);
        for (qint64 page = 1; page < pages.size() / 4096; ++page) {
            QVERIFY(pages.seek(page * 4096));
            pages.write(QByteArray(2000, '\xff'));
        }
    } else if (!content.isEmpty()) {
        QVERIFY(QDir(root).mkpath(QStringLiteral("data")));
        QFile garbage(database);
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(content);
    }

    ServerProcess server(root + QLatin1Char('/') + folder);
    QVERIFY(!server.start());
    QVERIFY(server.waitForExit() > 0);
    const QString log = QString::fromUtf8(server.errorOutput());
    QVERIFY2(log.contains(message.arg(root)), qPrintable(log));
    if (!content.isEmpty()) {
        // The way out it names works: the server starts afresh afterwards.
        const QString command =
            log.mid(log.indexOf(QLatin1String("run: ")) + 5).section(QLatin1Char('\n'), 0, 0);
        QVERIFY2(command.startsWith(QLatin1String("mv '")), qPrintable(command));
        QVERIFY2(QProcess::execute(QStringLiteral("sh"), {"-c", command}) == 0, qPrintable(log));
        QVERIFY(QFile::exists(database + QStringLiteral(".damaged")));
        QVERIFY2(server.start(), server.errorOutput().constData());
    }
}

void tst_Server::portFromSettings()
{
    const quint16 port = TestSupport::freePort();
    QVERIFY(port != 0);

    m_server = std::make_unique<ServerProcess>(m_dir->filePath(QStringLiteral("data")));
    const QString folder =
        settingsFolder(QStringLiteral("serverPort=%1\nencryption=on\ncolour=blue").arg(port));
    const QString file = folder + QStringLiteral("/Haltra/VelDataServer.conf");
    m_server->setEnvironment(QStringLiteral("XDG_CONFIG_DIRS"), folder);
    m_server->usePortSetting();
    QVERIFY(m_server->start());
    QCOMPARE(m_server->port(), port);
    QCOMPARE(m_server->terminate(), 0);
    // Mistakes are named, with the value used instead.
    const QString log = QString::fromUtf8(m_server->errorOutput());
    QVERIFY2(log.contains(QStringLiteral("settings: %1: encryption=\"on\" is not a whole number; "
                                         "the default 0 is used")
                              .arg(file)),
             qPrintable(log));
    QVERIFY2(
        log.contains(QStringLiteral("settings: %1: unknown key \"colour\" is ignored").arg(file)),
        qPrintable(log));
    QVERIFY2(!log.contains(QStringLiteral("serverPort=")), qPrintable(log));

    // The command line wins over the settings, also over a mistaken one.
    settingsFolder(QStringLiteral("serverPort=0"));
    QVERIFY(m_server->start({QStringLiteral("--port"), QStringLiteral("0")}));
    QVERIFY(m_server->port() != port);
    QCOMPARE(m_server->terminate(), 0);
    QVERIFY(m_server->errorOutput().contains(
        QStringLiteral("settings: %1: serverPort=\"0\" is outside 1 to 65535; the default 37073 "
                       "is used")
            .arg(file)
            .toUtf8()));
}

QTEST_MAIN(tst_Server)
#include "tst_server.moc"
