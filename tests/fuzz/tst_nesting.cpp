// Deeply nested variants read on a thread with a 1 MiB stack: a reader that
// recursed once a level would overflow it and end the test program.

#include "FrameBytes.h"
#include "HeaderDecoder.h"
#include "ListTypes.h"
#include "NestedVariant.h"
#include "VariantPackage.h"

#include <QThread>
#include <QtTest>

#include <memory>

namespace {

int depthOfPackage(const BasicPackagePtr &package)
{
    const auto variant = package.dynamicCast<VariantPackage>();
    return variant ? NestedVariant::depthOf(variant->typedValue()) : -2;
}

// The payload as a frame given to the frame decoder, which cuts it into chunks.
int readWithDecoder(const QByteArray &payload)
{
    int depth = -3;
    HeaderDecoder decoder;
    QObject::connect(&decoder, &HeaderDecoder::dataProcessed,
                     [&depth](const BasicPackagePtr &package, qint64, qint64) {
                         depth = depthOfPackage(package);
                     });
    decoder.processData(FrameBytes::frame(BasicPackage::Variant, 1, payload));
    return depth;
}

} // namespace

class tst_Nesting : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { ListTypes::registerStreamOperators(); }

    // A variant package is read whole up to the limit; a deeper one reads as
    // an invalid variant, at any depth. "package" hands the whole payload to
    // the package factory in one piece, "decoder" a frame to the decoder.
    void packageReader_data()
    {
        QTest::addColumn<int>("shape");
        QTest::addColumn<bool>("decoder");
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("expected");
        const int limit = VariantPackage::MaxNestingDepth;
        const char *const shapes[] = {"list", "map", "hash", "wrapped"};
        for (int shape = NestedVariant::List; shape <= NestedVariant::Wrapped; ++shape) {
            for (const bool decoder : {false, true}) {
                const auto row = [&](const char *what, int depth, int expected) {
                    QTest::addRow("%s %s %s", shapes[shape], decoder ? "decoder" : "package", what)
                        << shape << decoder << depth << expected;
                };
                row("one level", 1, 1);
                row("at the limit", limit, limit);
                row("one beyond", limit + 1, 0);
                row("5000 deep", 5000, 0);
                // Far beyond anything a recursive reader survives.
                row("a million deep", 1000000, 0);
            }
        }
        // Qt decodes CBOR arrays 1024 deep; the check of what it would build
        // goes no deeper either. CBOR that Qt cannot decode whole reads as an
        // invalid variant.
        for (const int depth : {1025, 1026, 100000})
            QTest::addRow("cbor package %d deep", depth)
                << int(NestedVariant::Cbor) << false << depth << (depth == 1025 ? depth : 0);
    }

    void packageReader()
    {
        QFETCH(int, shape);
        QFETCH(bool, decoder);
        QFETCH(int, depth);
        QFETCH(int, expected);
        const QByteArray payload = NestedVariant::payload(NestedVariant::Shape(shape), depth);
        int read = -4;
        const std::unique_ptr<QThread> thread(QThread::create([&] {
            read = decoder ? readWithDecoder(payload)
                           : depthOfPackage(createPackage(BasicPackage::Variant, 1,
                                                          {new QByteArray(payload)}));
        }));
        thread->setStackSize(1 << 20);
        thread->start();
        QVERIFY(thread->wait(60000));
        QCOMPARE(read, expected);
    }
};

QTEST_GUILESS_MAIN(tst_Nesting)
#include "tst_nesting.moc"
