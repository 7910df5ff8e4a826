// Variant payloads that fuzzing found (or that its findings led to) where
// Qt's variant reader reserves room for a made-up list count: the package
// must come out with its identifier and the emptied value Qt would give,
// without any reservation (which throws std::bad_alloc, or aborts under
// AddressSanitizer). fromChunks is called directly, without the factory's
// safety net for std::bad_alloc.

#include "IdentData.h"
#include "IdentDataMqtt.h"
#include "ListTypes.h"
#include "VariantPackage.h"

#include <QtTest>

namespace {

QByteArray mqttK()
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(BasicPackage::StreamVersion);
    IdentDataMqtt(QStringLiteral("k")).write(out);
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

    void impossibleCount_data()
    {
        QTest::addColumn<QByteArray>("variant");
        QTest::addColumn<QVariant>("expected");
        const QVariant emptyList = QVariantList();
        // Qt ignores the two top bits of a type number.
        QTest::newRow("list numbered 0x80000009")
            << QByteArray::fromHex("8000000900") + hugeCount << emptyList;
        QTest::newRow("list numbered 0xc0000009 inside a list")
            << QByteArray::fromHex("0000000900 00000001 c000000900") + hugeCount << emptyList;
        QTest::newRow("variant numbered 0x80000029 holding a list")
            << QByteArray::fromHex("8000002900 0000000900") + hugeCount
            << QVariant(QMetaType::QVariant, &emptyList);
        // A map key of odd length fails the stream; Qt's list reader starts
        // over with a clear status and reads the value's count all the same.
        QTest::newRow("list after a failed map key")
            << QByteArray::fromHex("0000000800 00000001 00000001 0000000900") + hugeCount
            << QVariant(QVariantMap());
        QTest::newRow("string list after a failed map key")
            << QByteArray::fromHex("0000001c00 00000001 00000003 0000000b00") + hugeCount
            << QVariant(QVariantHash());
    }

    void impossibleCount()
    {
        QFETCH(QByteArray, variant);
        QFETCH(QVariant, expected);
        VariantPackage package(1, nullptr, QVariant());
        QList<QByteArray *> chunks{new QByteArray(mqttK() + variant)};
        package.fromChunks(chunks);
        qDeleteAll(chunks);
        QVERIFY(package.ident());
        QCOMPARE(package.ident()->toString(), IdentDataMqtt(QStringLiteral("k")).toString());
        QCOMPARE(package.typedValue(), expected);
    }
};

QTEST_GUILESS_MAIN(tst_VariantWalk)
#include "tst_variantwalk.moc"
