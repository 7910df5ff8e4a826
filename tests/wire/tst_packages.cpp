#include "WireTest.h"

#include "AllocationMeter.h"

#include "ActionPackage.h"
#include "AutoUpdatePackage.h"
#include "BoolPackage.h"
#include "CommandPackage.h"
#include "DoubleListPackage.h"
#include "DoublePackage.h"
#include "FilePackage.h"
#include "IdentDataGlobals.h"
#include "IdentDataMqtt.h"
#include "IdentDataOpcua.h"
#include "IdentDataRuntime.h"
#include "Identifier.h"
#include "IdentifyPackage.h"
#include "IntListPackage.h"
#include "IntPackage.h"
#include "ListTypes.h"
#include "ResponsePackage.h"
#include "StatusAgentPackage.h"
#include "StringListPackage.h"
#include "StringPackage.h"
#include "VariantPackage.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QPoint>
#include <QTemporaryDir>
#include <QtTest>

using namespace wire;

namespace {

IdentData *mqtt()
{
    return new IdentDataMqtt("k");
}

// A variant in the package stream form, to compare values of any type,
// lists included, by what they carry.
QString variantHex(const QVariant &value)
{
    QByteArray data;
    QDataStream out(&data, QIODevice::WriteOnly);
    out.setVersion(BasicPackage::StreamVersion);
    out << value;
    return hex(data);
}

QList<QByteArray *> pieces(const QByteArray &content)
{
    QList<QByteArray *> list;
    for (int at = 0; at < content.size(); at += HeaderDecoder::PACKAGE_CHUNK_SIZE)
        list.append(new QByteArray(content.mid(at, HeaderDecoder::PACKAGE_CHUNK_SIZE)));
    return list;
}

// Every entry below `path` with its size; links are listed, not followed.
QStringList snapshot(const QString &path)
{
    QStringList entries;
    QDirIterator it(path, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        entries << it.filePath() + QLatin1Char(' ') + QString::number(it.fileInfo().size());
    }
    entries.sort();
    return entries;
}

// The type part of a variant holding a list type registered by name.
const QString intListType = QStringLiteral("00000400 00 0000000b 514c6973743c696e743e00");
const QString doubleListType = QStringLiteral("00000400 00 0000000e 514c6973743c646f75626c653e00");
const QString pointListType = QStringLiteral("00000400 00 0000000e 514c6973743c51506f696e743e00");

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

enum class Table
{
    Encode,
    Decode
};

// Each row is a package and its frame: the encode table writes the package and
// expects the frame, the decode table decodes the frame and expects it back
// when the package is written again, with the text form and value given.
void addFrameRows(Table table)
{
    auto row = [table](const char *name, BasicPackage *created, const QString &frameHex,
                       const QString &text = QString(), const QVariant &value = QVariant()) {
        const BasicPackagePtr package(created);
        if (table == Table::Encode)
            QTest::newRow(name) << package << frameHex;
        else
            QTest::newRow(name) << bytes(frameHex) << frameHex << text << value;
    };
    auto dataRow = [&](const char *name, int type, BasicPackage *created, const QString &valueHex,
                       const QString &text, const QVariant &value) {
        row(name, created, frame(type, 1, mqttK + valueHex), text, value);
    };

    row("IntPackage id 7 runtime a/b value 5", new IntPackage(7, new IdentDataRuntime("a", "b"), 5),
        "00000005 00000007 0000000000000022 " + runtimeAB + " 00000005", "5", 5);
    row("ActionPackage get globals k id 3", new ActionPackage(3, new IdentDataGlobals("k"), 1),
        "00000001 00000003 000000000000001c " + globalsK + " 00000001");
    row("AutoUpdatePackage change of opcua k", new AutoUpdatePackage(5, new IdentDataOpcua("k"), 3),
        frame(2, 5, opcuaK + " 00000003"));
    row("CommandPackage c without params", new CommandPackage(4, "c", {}),
        frame(12, 4, "00000002 0063 00000000"));
    row("CommandPackage params p and null", new CommandPackage(4, "c", {"p", QString()}),
        frame(12, 4, "00000002 0063 00000002 00000002 0070 ffffffff"));
    row("ResponsePackage code 5 message x", new ResponsePackage(2, 5, "x"),
        frame(14, 2, "00000005 00000002 0078"));
    row("IdentifyPackage ends in 01", new IdentifyPackage(0, "p", true),
        frame(15, 0, "00000002 0070 01"));
    row("StatusAgentPackage null status", new StatusAgentPackage(1, QString()),
        frame(16, 1, "ffffffff"));

    dataRow("IntPackage -1", 5, new IntPackage(1, mqtt(), -1), "ffffffff", "-1", -1);
    dataRow("BoolPackage true", 6, new BoolPackage(1, mqtt(), true), "01", "1", true);
    dataRow("BoolPackage false", 6, new BoolPackage(1, mqtt(), false), "00", "0", false);
    const auto doubleRow = [&](const char *name, double value, const char *hex, const char *text) {
        dataRow(name, 4, new DoublePackage(1, mqtt(), value), hex, text, value);
    };
    doubleRow("DoublePackage 1.0", 1.0, "3ff0000000000000", "1");
    doubleRow("DoublePackage pi", 3.141592653589793, "400921fb54442d18", "3.14159");
    doubleRow("DoublePackage one million", 1e6, "412e848000000000", "1e+06");
    doubleRow("DoublePackage 0.1", 0.1, "3fb999999999999a", "0.1");
    doubleRow("DoublePackage 1234567", 1234567.0, "4132d68700000000", "1.23457e+06");
    doubleRow("DoublePackage 100000", 100000.0, "40f86a0000000000", "100000");
    const QString eAcute(QChar(0xe9));
    dataRow("StringPackage U+00E9", 3, new StringPackage(1, mqtt(), eAcute), "00000002 00e9",
            eAcute, eAcute);
    dataRow("StringPackage null", 3, new StringPackage(1, mqtt(), QString()), "ffffffff", "",
            QString());
    dataRow("StringPackage empty", 3, new StringPackage(1, mqtt(), QString("")), "00000000", "",
            QString(""));
    dataRow("StringListPackage empty", 7, new StringListPackage(1, mqtt(), {}), "00000000", "",
            QStringList());
    const QStringList ab{"a", "b"};
    dataRow("StringListPackage a b", 7, new StringListPackage(1, mqtt(), ab),
            "00000002 00000002 0061 00000002 0062", "a, b, ", ab);
    dataRow("IntListPackage 1 -1", 9, new IntListPackage(1, mqtt(), {1, -1}),
            "00000002 00000001 ffffffff", "1, -1, ", QVariant::fromValue(QList<qint32>{1, -1}));
    dataRow("IntListPackage 1234567", 9, new IntListPackage(1, mqtt(), {1234567}),
            "00000001 0012d687", "1.23457e+06, ", QVariant::fromValue(QList<qint32>{1234567}));
    dataRow("DoubleListPackage 0.5", 8, new DoubleListPackage(1, mqtt(), {0.5}),
            "00000001 3fe0000000000000", "0.5, ", QVariant::fromValue(QList<double>{0.5}));
    const auto variantRow = [&](const char *name, const QVariant &value, const QString &valueHex,
                                const QString &text) {
        dataRow(name, 11, new VariantPackage(1, mqtt(), value), valueHex, text, value);
    };
    variantRow("VariantPackage QList<int> 7 8", QVariant::fromValue(QList<int>{7, 8}),
               intListType + "00000002 00000007 00000008", "7 | 8");
    variantRow("VariantPackage QList<QPoint>",
               QVariant::fromValue(QList<QPoint>{QPoint(1, 2), QPoint(3, 4)}),
               pointListType + "00000002 00000001 00000002 00000003 00000004", "1,2 | 3,4");
    variantRow("VariantPackage QList<double>", QVariant::fromValue(QList<double>{2.5}),
               doubleListType + "00000001 4004000000000000", "");
    variantRow("VariantPackage string x", "x", "0000000a 00 00000002 0078", "x");
    dataRow("FilePackage f of 3 bytes", 10,
            new FilePackage(1, mqtt(), "f", {new QByteArray("xyz")}), "00000002 0066 78797a",
            "Name: f; Size: 3 Bytes", QVariant());
}

// Frames the decoder must read differently from how they would be written:
// the expected frame is the received package written again.
void addReadingRows()
{
    auto dataRow = [](const QByteArray &name, int type, const QString &payload,
                      const QString &expected, const QString &text, const QVariant &value) {
        QTest::newRow(name.constData())
            << bytes(frame(type, 1, payload)) << frame(type, 1, expected) << text << value;
    };
    dataRow("BoolPackage byte 02 reads true", 6, mqttK + "02", mqttK + "01", "1", true);
    dataRow("StringPackage ending after the identifier", 3, mqttK, mqttK + "ffffffff", "",
            QString());
    dataRow("kind Runtime with capital R reads no key", 5,
            "0000000e 00520075006e00740069006d0065 00000005", kindUnknown + "00000005", "5", 5);
    dataRow("StatusAgentPackage ending inside the length word", 16, "0000", "ffffffff", "",
            QVariant());
    dataRow("ResponsePackage empty payload", 14, "", "00000000 ffffffff", "", QVariant());
    dataRow("IntListPackage count 3 with two elements", 9, mqttK + "00000003 00000001 00000002",
            mqttK + "00000000", "", QVariant::fromValue(QList<qint32>()));
    dataRow("CommandPackage params cut short", 12, "00000002 0063 00000002 00000002 0070",
            "00000002 0063 00000000", "", QVariant());
    dataRow("FilePackage ending inside the identifier", 10, kindMqtt + "0000",
            kindMqtt + "00000000 ffffffff", "Name: ; Size: 0 Bytes", QVariant());
    dataRow("FilePackage ending inside the name", 10, mqttK + "00000004 0066", mqttK + "ffffffff",
            "Name: ; Size: 0 Bytes", QVariant());
    dataRow("IntPackage payload beyond the first chunk", 5,
            mqttK + "00000005" + QString(140000, QLatin1Char('0')), mqttK + "00000005", "5", 5);
    // Payloads of several chunks are read whole, whatever the type.
    const QString longText(40000, QLatin1Char('a'));
    const QString longTextHex = "00013880" + QStringLiteral("0061").repeated(40000);
    dataRow("StringPackage value beyond the first chunk", 3, mqttK + longTextHex,
            mqttK + longTextHex, longText, longText);
    dataRow("StringListPackage beyond the first chunk", 7,
            mqttK + "00000002 00000002 0062" + longTextHex,
            mqttK + "00000002 00000002 0062" + longTextHex, "b, " + longText + ", ",
            QStringList{"b", longText});
    dataRow("VariantPackage string beyond the first chunk", 11, mqttK + "0000000a 00" + longTextHex,
            mqttK + "0000000a 00" + longTextHex, longText, longText);
    // A file's size in its text form, in whole units.
    const auto fileRow = [&dataRow](int size, const char *text) {
        const QString file = mqttK + "00000002 0066" + QStringLiteral("78").repeated(size);
        dataRow("FilePackage of " + QByteArray::number(size) + " bytes", 10, file, file,
                QStringLiteral("Name: f; Size: ") + text, QVariant());
    };
    fileRow(1024, "1024 Bytes");
    fileRow(1025, "1 KB");
    fileRow(1536, "1 KB");
    fileRow(1048576, "1024 KB");
    fileRow(1049600, "1 MB");

    // Counts no short payload can hold: each reader must give the empty list
    // at once; a reservation of that many elements would abort the process.
    const QVariant emptyStringList = QStringList();
    for (const char *count : {"7fffffff", "80000000", "ffffffff"}) {
        const auto listRow = [count, &dataRow](const char *what, int type, const QString &before,
                                               const QVariant &empty, QString readBefore = {}) {
            if (readBefore.isNull())
                readBefore = before;
            dataRow(QByteArray(what) + " count 0x" + count, type,
                    before + count + "00000000 00000000", readBefore + "00000000", "", empty);
        };
        listRow("StringListPackage", 7, mqttK, QStringList());
        listRow("DoubleListPackage", 8, mqttK, QVariant::fromValue(QList<double>()));
        listRow("IntListPackage", 9, mqttK, QVariant::fromValue(QList<qint32>()));
        listRow("CommandPackage params", 12, "00000002 0063", QVariant());
        listRow("VariantPackage QList<int>", 11, mqttK + intListType,
                QVariant::fromValue(QList<int>()));
        listRow("VariantPackage QList<double>", 11, mqttK + doubleListType,
                QVariant::fromValue(QList<double>()));
        listRow("VariantPackage QList<QPoint>", 11, mqttK + pointListType,
                QVariant::fromValue(QList<QPoint>()));
        listRow("VariantPackage QStringList", 11, mqttK + "0000000b 00", QStringList());
        listRow("VariantPackage QStringList by name", 11,
                mqttK + "00000400 00 0000000c 51537472696e674c69737400", QStringList(),
                mqttK + "0000000b 00");
        listRow("VariantPackage QVariantList", 11, mqttK + "00000009 00", QVariantList());
        listRow("VariantPackage QByteArrayList", 11, mqttK + "00000031 00",
                QVariant::fromValue(QByteArrayList()));
        listRow("VariantPackage QStringList in a QVariant", 11, mqttK + "00000029 00 0000000b 00",
                QVariant(QMetaType::QVariant, &emptyStringList));
        listRow("VariantPackage QStringList in a QVariantList", 11,
                mqttK + "00000009 00 00000001 0000000b 00", QVariantList(), mqttK + "00000009 00");
        listRow("VariantPackage QVariantList in a QVariantMap", 11,
                mqttK + "00000008 00 00000001 00000002 0061 00000009 00", QVariantMap(),
                mqttK + "00000008 00");
    }
}

} // namespace

class tst_Packages : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ListTypes::registerStreamOperators(); }

    void identifier_data()
    {
        QTest::addColumn<Identifier>("ident");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("streamHex");
        QTest::addColumn<int>("typeIndex");
        const auto row = [](const char *name, IdentData *data, const char *text,
                            const QString &streamHex, int typeIndex) {
            QTest::newRow(name) << Identifier(data) << text << streamHex << typeIndex;
        };
        const QString a = "a";
        row("runtime a b", new IdentDataRuntime(a, "b"), "runtime Key: a; UUID: b", runtimeAB, 1);
        row("runtime empty uuid", new IdentDataRuntime(a, QString("")),
            "runtime Key: a; UUID: ", kindRuntime + " 00000002 0061 00000000", 1);
        row("runtime null uuid", new IdentDataRuntime(a, QString()),
            "runtime Key: a; UUID: ", kindRuntime + " 00000002 0061 ffffffff", 1);
        row("globals k", new IdentDataGlobals("k"), "globals Key: k", globalsK, 2);
        row("opcua k", new IdentDataOpcua("k"), "opcua Key: k", opcuaK, 3);
        row("mqtt k", mqtt(), "mqtt Key: k", mqttK, 4);
        row("empty handle", nullptr, "", "", 0);
        QTest::newRow("default handle") << Identifier() << "unknown " << kindUnknown << 0;
        const auto fromConst = [](int kind) {
            Identifier ident(new IdentDataRuntime("a", "b"));
            ident.setFromConst(kind, "ns");
            return ident;
        };
        const QString ns = QStringLiteral(" 00000004 006e0073");
        QTest::newRow("setFromConst 200002")
            << fromConst(200002) << "opcua Key: ns" << kindOpcua + ns << 3;
        QTest::newRow("setFromConst 200003")
            << fromConst(200003) << "mqtt Key: ns" << kindMqtt + ns << 4;
        QTest::newRow("setFromConst 200001 keeps what is held")
            << fromConst(200001) << "runtime Key: a; UUID: b" << runtimeAB << 1;
        // A handle's text follows every change of what it holds.
        const auto changed = [](int how) {
            Identifier ident(new IdentDataGlobals("stale"));
            Identifier other(new IdentDataOpcua("k"));
            if (how == 0)
                ident = other;
            else if (how == 1)
                ident = std::move(other);
            else
                ident.reset(new IdentDataOpcua("k"));
            return ident;
        };
        QTest::newRow("assigned") << changed(0) << "opcua Key: k" << opcuaK << 3;
        QTest::newRow("moved") << changed(1) << "opcua Key: k" << opcuaK << 3;
        QTest::newRow("reset") << changed(2) << "opcua Key: k" << opcuaK << 3;
    }

    void identifier()
    {
        QFETCH(Identifier, ident);
        QFETCH(QString, text);
        QFETCH(QString, streamHex);
        QFETCH(int, typeIndex);
        const Identifier copy(ident);
        QCOMPARE(copy.isEmpty(), ident.isEmpty());
        QVERIFY(copy.isEmpty() || copy.data() != ident.data());
        QCOMPARE(copy.toString(), text);
        QCOMPARE(copy.typeIndex(), typeIndex);
        QByteArray data;
        QDataStream out(&data, QIODevice::WriteOnly);
        out.setVersion(BasicPackage::StreamVersion);
        out << copy;
        QCOMPARE(hex(data), plain(streamHex));
        if (ident.isEmpty())
            return;
        Identifier back(new IdentDataGlobals("stale"));
        QDataStream in(data);
        in.setVersion(BasicPackage::StreamVersion);
        in >> back;
        QCOMPARE(back.toString(), text);
        QCOMPARE(back.typeIndex(), typeIndex);
        QVERIFY(in.atEnd());
    }

    void identifierOrder_data()
    {
        QTest::addColumn<Identifier>("a");
        QTest::addColumn<Identifier>("b");
        QTest::addColumn<int>("order");
        const QString a = "a";
        QTest::newRow("empty and null uuid are one key")
            << Identifier(new IdentDataRuntime(a, QString("")))
            << Identifier(new IdentDataRuntime(a, QString())) << 0;
        QTest::newRow("other uuid") << Identifier(new IdentDataRuntime(a, "b"))
                                    << Identifier(new IdentDataRuntime(a, "c")) << -1;
        QTest::newRow("globals before opcua of one key")
            << Identifier(new IdentDataGlobals(a)) << Identifier(new IdentDataOpcua(a)) << -1;
        QTest::newRow("empty handle as the empty text")
            << Identifier(nullptr) << Identifier(new IdentData(QString())) << -1;
        QTest::newRow("mqtt after globals")
            << Identifier(new IdentDataMqtt(a)) << Identifier(new IdentDataGlobals(a)) << 1;
    }

    void identifierOrder()
    {
        QFETCH(Identifier, a);
        QFETCH(Identifier, b);
        QFETCH(int, order);
        QCOMPARE(a < b, order < 0);
        QCOMPARE(b < a, 0 < order);
    }

    void encode_data()
    {
        QTest::addColumn<BasicPackagePtr>("package");
        QTest::addColumn<QString>("expected");
        addFrameRows(Table::Encode);
        QTest::newRow("IntPackage without identifier")
            << BasicPackagePtr(new IntPackage(1, nullptr, 5)) << frame(5, 1, "00000005");
    }

    void encode()
    {
        QFETCH(BasicPackagePtr, package);
        QFETCH(QString, expected);
        QCOMPARE(hex(FrameBytes::encode(*package)), plain(expected));
    }

    void decode_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QVariant>("value");
        addFrameRows(Table::Decode);
        addReadingRows();
    }

    void decode()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, expected);
        QFETCH(QString, text);
        QFETCH(QVariant, value);
        const QList<Received> received = decodeAll(input);
        QCOMPARE(received.size(), 1);
        QCOMPARE(received[0].dataSize, qint64(input.size() - BasicPackage::HeaderSize));
        const BasicPackagePtr package = received[0].package;
        QVERIFY(package);
        QCOMPARE(hex(FrameBytes::encode(*package)), plain(expected));
        QCOMPARE(package->toString(), text);
        const auto *data = dynamic_cast<const DataPackage *>(package.data());
        const QVariant actual = data ? data->value() : QVariant();
        QCOMPARE(actual.userType(), value.userType());
        QCOMPARE(variantHex(actual), variantHex(value));
    }

    // Every length a peer announces, where it cannot fit into the frame: 10 000
    // such frames are read while the process's heap may not grow by more than
    // a small frame could justify (Qt's readers would size a buffer from the
    // length first, megabytes per frame).
    void announcedLength_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("payload");
        const QString huge = QStringLiteral(" 7ffffff0 ");
        const QString tail = QStringLiteral(" 00000000 00000000 00000000 00000000");
        const auto row = [&](const char *name, int type, const QString &before) {
            QTest::newRow(name) << type << before + huge + tail;
        };
        row("identifier kind text", 5, "");
        row("runtime key", 5, kindRuntime);
        row("runtime uuid", 5, kindRuntime + "00000002 0061");
        row("globals key", 5, kindGlobals);
        row("StringPackage value", 3, mqttK);
        row("FilePackage name", 10, mqttK);
        row("ResponsePackage message", 14, "00000005");
        row("CommandPackage command", 12, "");
        row("CommandPackage params count", 12, "ffffffff");
        row("CommandPackage param text", 12, "ffffffff 00000001");
        row("IdentifyPackage client name", 15, "");
        row("StatusAgentPackage status", 16, "");
        row("StringListPackage count", 7, mqttK);
        row("StringListPackage element", 7, mqttK + "00000001");
        row("IntListPackage count", 9, mqttK);
        row("DoubleListPackage count", 8, mqttK);
        const auto variantRow = [&](const char *name, const QString &before) {
            row(name, 11, mqttK + before);
        };
        variantRow("variant QString", "0000000a 00");
        variantRow("variant QByteArray", "0000000c 00");
        variantRow("variant QBitArray", "0000000d 00");
        variantRow("variant QUrl", "00000011 00");
        variantRow("variant QLocale", "00000012 00");
        variantRow("variant QRegExp", "0000001b 00");
        variantRow("variant QRegularExpression", "0000002c 00");
        variantRow("variant QJsonValue string", "0000002d 00 03");
        variantRow("variant QJsonValue array", "0000002d 00 04");
        variantRow("variant QJsonDocument", "00000030 00");
        variantRow("variant QCborValue bytes", "00000035 00");
        variantRow("variant QCborArray of 2^31 elements", "00000036 00 00000005 9a7fffffff");
        variantRow("variant QCborMap of 2^31 pairs", "00000037 00 00000005 ba7fffffff");
        variantRow("variant QCborValue nested array", "00000035 00 00000007 8181 9a7fffffff");
        variantRow("variant QDateTime zone id", "00000010 00 0000000000256d3a 00000000 03");
        variantRow("variant QDateTime offset zone name",
                   "00000010 00 0000000000256d3a 00000000 03"
                   " 0000001a 004f0066006600730065007400460072006f006d005500740063"
                   "00000002 0055 00000e10");
        variantRow("variant type name", "00000400 00");
        variantRow("variant QStringList count", "0000000b 00");
        variantRow("variant QStringList element", "0000000b 00 00000001");
        variantRow("variant QByteArrayList element", "00000031 00 00000001");
        variantRow("variant QVariantList count", "00000009 00");
        variantRow("variant QVariantMap key", "00000008 00 00000001");
        variantRow("variant QVariantHash key", "0000001c 00 00000001");
        variantRow("variant QString in a QVariantList", "00000009 00 00000001 0000000a 00");
        variantRow("variant QList<int> count", intListType);
    }

    void announcedLength()
    {
        QFETCH(int, type);
        QFETCH(QString, payload);
        const QByteArray one = bytes(frame(type, 1, payload));
        constexpr int Frames = 10000;
        const QByteArray stream = one.repeated(Frames);
        HeaderDecoder decoder;
        int count = 0;
        QObject::connect(&decoder, &HeaderDecoder::dataProcessed,
                         [&count](BasicPackagePtr package, qint64, qint64) {
                             if (package)
                                 ++count;
                         });
        AllocationMeter::restart();
        decoder.processData(stream);
        const std::ptrdiff_t peak = AllocationMeter::peakAboveStart();
        QCOMPARE(count, Frames);
        if (!AllocationMeter::available())
            QSKIP("the heap is counted under AddressSanitizer only");
        QVERIFY2(peak < 64 * 1024, qPrintable(QStringLiteral("%1 bytes held at the peak while "
                                                             "reading frames of %2 bytes")
                                                  .arg(peak)
                                                  .arg(one.size())));
    }

    void writeCalls_data()
    {
        QTest::addColumn<BasicPackagePtr>("package");
        QTest::addColumn<QList<int>>("sizes");
        QTest::newRow("data package: header, identifier, value")
            << BasicPackagePtr(new IntPackage(1, mqtt(), 5)) << QList<int>{16, 18, 4};
        QTest::newRow("control package: header, fields")
            << BasicPackagePtr(new ResponsePackage(2, 5, "x")) << QList<int>{16, 10};
        QTest::newRow("70000-byte file: one write per content piece")
            << BasicPackagePtr(new FilePackage(1, mqtt(), "f", pieces(QByteArray(70000, 'c'))))
            << QList<int>{16, 18, 6, 65536, 4464};
        QTest::newRow("empty file: no content write")
            << BasicPackagePtr(new FilePackage(1, mqtt(), "f", {})) << QList<int>{16, 18, 6};
    }

    void writeCalls()
    {
        QFETCH(BasicPackagePtr, package);
        QFETCH(QList<int>, sizes);
        RecordingDevice device;
        package->write(&device, 0);
        QList<int> actual;
        qint64 payload = -BasicPackage::HeaderSize;
        for (const QByteArray &write : device.writes) {
            actual << write.size();
            payload += write.size();
        }
        QCOMPARE(actual, sizes);
        QCOMPARE(hex(device.writes.first().mid(8)), QString::asprintf("%016llx", payload));
        QCOMPARE(device.writes.join(), FrameBytes::encode(*package));
    }

    void save_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<bool>("saved");
        const auto row = [](const QString &name, const QByteArray &content, bool saved,
                            const char *directory = "target") {
            const QString shown = QString(name).replace(QChar(0), QLatin1String("\\0"));
            QTest::newRow(qPrintable(QStringLiteral("'%1' into %2").arg(shown, directory)))
                << name << content << directory << saved;
        };
        row("f", QByteArray(70000, 'g'), true);
        row("longer", "new", true); // over a longer file, which it replaces whole
        row("nothing", QByteArray(), true);
        row("f", "x", false, "missing");
        // Names that would leave the folder; a link set there in advance.
        for (const char *name : {"", ".", "..", "/etc/x", "../x", "a/b", "a\\b", "link"})
            row(QString::fromLatin1(name), "evil", false);
        row(QStringLiteral("n") + QChar(0) + "b", "evil", false);
    }

    void save()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, directory);
        QFETCH(bool, saved);
        QTemporaryDir root;
        const QDir dir(root.path());
        // With these in place a name that is not refused would be written.
        QVERIFY(dir.mkpath("target/a") && dir.mkpath("target/etc"));
        QVERIFY(writeFile(dir.filePath("victim"), "keep"));
        QVERIFY(QFile::link(dir.filePath("victim"), dir.filePath("target/link")));
        QVERIFY(writeFile(dir.filePath("target/longer"), "0123456789"));
        const QStringList before = snapshot(root.path());
        QCOMPARE(FilePackage(2, mqtt(), name, pieces(content)).save(dir.filePath(directory)),
                 saved);
        const QString path = dir.filePath(directory + '/' + name);
        if (saved) {
            QVERIFY(QFile::exists(path));
            QCOMPARE(readFile(path), content);
        } else {
            QCOMPARE(snapshot(root.path()), before);
        }
        QVERIFY(QFileInfo(dir.filePath("target/link")).isSymLink());
        QCOMPARE(readFile(dir.filePath("victim")), QByteArray("keep"));
        QVERIFY(!QFile::exists("/etc/x"));
    }
};

QTEST_APPLESS_MAIN(tst_Packages)
#include "tst_packages.moc"
