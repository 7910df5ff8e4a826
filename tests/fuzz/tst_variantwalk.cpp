// Variant payloads that fuzzing found (or that its findings led to). Where
// Qt's variant reader reserves room for a made-up list count, the package
// must come out with its identifier and the emptied value Qt would give,
// without any reservation (which throws std::bad_alloc, or aborts under
// AddressSanitizer); fromChunks is called directly, without the factory's
// safety net for std::bad_alloc. Where Qt reads a value that its writer then
// crashes on, the value must read as invalid, so that the package can be
// written again (as a server does with every value it stores).

#include "FrameBytes.h"
#include "IdentData.h"
#include "IdentDataMqtt.h"
#include "ListTypes.h"
#include "VariantPackage.h"

#include <QBuffer>
#include <QtTest>

namespace {

// The identifier every package here carries: kind "mqtt", key "k".
const QByteArray mqttK = QByteArray::fromHex("00000008 006d007100740074 00000002 006b");

// A date-time (QDate, QTime, Qt::TimeSpec 3, a time zone) in the zone whose
// stream form is `zoneHex`.
QByteArray dateTimeIn(const char *zoneHex)
{
    return QByteArray::fromHex("0000001000 0000000000256859 00000000 03") +
           QByteArray::fromHex(zoneHex);
}

// A QCborValue variant holding `cbor`.
QByteArray cborVariant(const QByteArray &cbor)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(BasicPackage::StreamVersion);
    out << qint32(QMetaType::QCborValue) << quint8(0) << cbor;
    return bytes;
}

// A count of 0x7fffffff elements followed by eight bytes.
const QByteArray hugeCount = QByteArray::fromHex("7fffffff"
                                                 "0000000000000000");

} // namespace

class tst_VariantWalk : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ListTypes::registerStreamOperators(); }

    void variantRead_data()
    {
        QTest::addColumn<QByteArray>("variant");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QVariant>("expected"); // compared when valid

        const QVariant emptyList = QVariantList();
        const auto impossible = [](const char *name, const QByteArray &variant,
                                   const QVariant &expected) {
            QTest::newRow(name) << variant + hugeCount << true << expected;
        };
        // Qt ignores the two top bits of a type number.
        impossible("list numbered 0x80000009", QByteArray::fromHex("8000000900"), emptyList);
        impossible("list numbered 0xc0000009 inside a list",
                   QByteArray::fromHex("0000000900 00000001 c000000900"), emptyList);
        impossible("variant numbered 0x80000029 holding a list",
                   QByteArray::fromHex("8000002900 0000000900"),
                   QVariant(QMetaType::QVariant, &emptyList));
        // A map key of odd length fails the stream; Qt's list reader starts
        // over with a clear status and reads the value's count all the same.
        impossible("list after a failed map key",
                   QByteArray::fromHex("0000000800 00000001 00000001 0000000900"), QVariantMap());
        impossible("string list after a failed map key",
                   QByteArray::fromHex("0000001c00 00000001 00000003 0000000b00"), QVariantHash());

        // The zone "xx" (a string of four bytes) is unknown.
        const QByteArray unknownZone = dateTimeIn("00000004 00780078");
        const auto unwritable = [](const char *name, const QByteArray &variant, bool valid) {
            QTest::newRow(name) << variant << valid << QVariant();
        };
        unwritable("date-time in an unknown zone", unknownZone, false);
        unwritable("inside a list",
                   QByteArray::fromHex("0000000900 00000002 0000000200 00000007") + unknownZone,
                   false);
        unwritable("inside a map",
                   QByteArray::fromHex("0000000800 00000001 00000002 006b") + unknownZone, false);
        unwritable("inside a variant", QByteArray::fromHex("0000002900") + unknownZone, false);
        // A null zone name reads as UTC, which Qt writes well.
        unwritable("date-time in a null zone", dateTimeIn("ffffffff"), true);
        // Strings announcing more bytes than follow (Qt made room for 1.5 GB
        // before it found them missing) cannot decode; those that fit can.
        unwritable("CBOR string of 1.5 GB in two bytes",
                   cborVariant(QByteArray::fromHex("5a5a5a5a5a") + "xy"), false);
        unwritable("CBOR chunk of 1.5 GB in two bytes",
                   cborVariant(QByteArray::fromHex("5f426162 5a5a5a5a5a") + "xy"), false);
        unwritable("CBOR string of two bytes in a map",
                   cborVariant(QByteArray::fromHex("a1 00 426162")), true);
        unwritable("CBOR text in chunks", cborVariant(QByteArray::fromHex("7f 626162 6163 ff")),
                   true);
    }

    void variantRead()
    {
        QFETCH(QByteArray, variant);
        QFETCH(bool, valid);
        QFETCH(QVariant, expected);
        VariantPackage package(1, nullptr, QVariant());
        QList<QByteArray *> chunks{new QByteArray(mqttK + variant)};
        package.fromChunks(chunks);
        qDeleteAll(chunks);
        QVERIFY(package.ident());
        QCOMPARE(package.ident()->toString(), IdentDataMqtt(QStringLiteral("k")).toString());
        QCOMPARE(package.typedValue().isValid(), valid);
        if (expected.isValid())
            QCOMPARE(package.typedValue(), expected);
        // Writing it again must work, as a server does with every value it
        // stores: an unwritable value crashed here before the fix.
        QVERIFY(FrameBytes::encode(package).size() > BasicPackage::HeaderSize + mqttK.size());
    }
};

QTEST_GUILESS_MAIN(tst_VariantWalk)
#include "tst_variantwalk.moc"
