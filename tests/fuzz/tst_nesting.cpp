// Deeply nested variants read on a thread with a 1 MiB stack, each in a probe
// process of its own (vds_nesting_probe), so that a stack overflow fails a row
// instead of ending the test program.

#include "VariantPackage.h"

#include <QProcess>
#include <QtTest>

namespace {

// Far beyond anything a recursive reader survives on a 1 MiB stack.
constexpr int HugeDepth = 1000000;

} // namespace

class tst_Nesting : public QObject
{
    Q_OBJECT

private slots:
    // A variant package is read whole up to the limit; a deeper one reads as
    // an invalid variant, at any depth, on a 1 MiB stack. "package" hands the
    // whole payload to the package factory, "decoder" a frame to the decoder.
    void packageReader_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QString>("reader");
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("expected");
        const int limit = VariantPackage::MaxNestingDepth;
        for (const char *shape : {"list", "map", "hash", "wrapped"}) {
            for (const char *reader : {"package", "decoder"}) {
                const auto row = [&](const char *what, int depth, int expected) {
                    QTest::addRow("%s %s %s", shape, reader, what)
                        << QString::fromLatin1(shape) << QString::fromLatin1(reader) << depth
                        << expected;
                };
                row("one level", 1, 1);
                row("at the limit", limit, limit);
                row("one beyond", limit + 1, 0);
                row("5000 deep", 5000, 0);
                row("a million deep", HugeDepth, 0);
            }
        }
        // JSON and CBOR documents have their own limit inside Qt (arrays 1024
        // deep within the document), well within a 1 MiB stack. JSON beyond
        // it reads as another document; CBOR that Qt cannot decode whole as
        // an invalid variant.
        for (const char *shape : {"json", "cbor"}) {
            const int beyond = QByteArray(shape) == "cbor" ? 0 : -1;
            const auto row = [&](const char *what, int depth, int expected) {
                QTest::addRow("%s package %s", shape, what)
                    << QString::fromLatin1(shape) << QStringLiteral("package") << depth << expected;
            };
            row("1025 deep", 1025, 1025);
            row("1026 deep", 1026, beyond);
            row("100000 deep", 100000, beyond);
        }
    }

    void packageReader()
    {
        QFETCH(QString, shape);
        QFETCH(QString, reader);
        QFETCH(int, depth);
        QFETCH(int, expected);
        QProcess probe;
        probe.start(QCoreApplication::applicationDirPath() + QStringLiteral("/vds_nesting_probe"),
                    {shape, QString::number(depth), reader});
        // A probe still running when the row fails is killed with its QProcess.
        QVERIFY2(probe.waitForFinished(60000), qPrintable(probe.errorString()));
        const QByteArray out = probe.readAllStandardOutput().trimmed();
        QVERIFY2(probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0,
                 qPrintable(probe.readAllStandardError().right(2000)));
        QCOMPARE(out, QStringLiteral("depth %1 read as %2").arg(depth).arg(expected).toLatin1());
    }
};

QTEST_GUILESS_MAIN(tst_Nesting)
#include "tst_nesting.moc"
