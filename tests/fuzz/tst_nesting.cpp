// Deeply nested variants read on a thread with a 1 MiB stack, each in a probe
// process of its own (vds_nesting_probe), so that a stack overflow fails a row
// instead of ending the test program.

#include "NestedVariant.h"
#include "VariantPackage.h"

#include <QProcess>
#include <QtTest>

namespace {

constexpr int ProbeTimeoutMs = 60000;
// Far beyond anything Qt's reader survives on a 1 MiB stack.
constexpr int HugeDepth = 1000000;

struct Probe
{
    bool finished = false; // exited normally, with the line printed
    int readDepth = 0;
    QString failure;
};

Probe probe(const QString &shape, int depth, const QString &reader)
{
    Probe result;
    QProcess process;
    process.setProgram(QCoreApplication::applicationDirPath() +
                       QStringLiteral("/vds_nesting_probe"));
    process.setArguments({shape, QString::number(depth), reader});
    process.start();
    if (!process.waitForFinished(ProbeTimeoutMs)) {
        process.kill();
        process.waitForFinished(ProbeTimeoutMs);
        result.failure = QStringLiteral("no end within %1 ms: %2")
                             .arg(ProbeTimeoutMs)
                             .arg(process.errorString());
        return result;
    }
    const QString out = QString::fromLatin1(process.readAllStandardOutput()).trimmed();
    const QString expectedStart = QStringLiteral("depth %1 read as ").arg(depth);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0 ||
        !out.startsWith(expectedStart)) {
        result.failure = QStringLiteral("exit status %1 code %2, output \"%3\"")
                             .arg(process.exitStatus())
                             .arg(process.exitCode())
                             .arg(out);
        return result;
    }
    result.finished = true;
    result.readDepth = out.mid(expectedStart.size()).toInt();
    return result;
}

} // namespace

class tst_Nesting : public QObject
{
    Q_OBJECT

private slots:
    // QDataStream's own variant reader, which the walker guards, calls itself
    // once a level: the limit must stay far below the depth at which that
    // overflows a 1 MiB stack, so ten times the limit still reads.
    void qtReaderCopesFarBeyondLimit_data()
    {
        QTest::addColumn<QString>("shape");
        for (const char *shape : {"list", "map", "hash", "wrapped"})
            QTest::newRow(shape) << QString::fromLatin1(shape);
    }

    void qtReaderCopesFarBeyondLimit()
    {
        QFETCH(QString, shape);
        const int depth = 10 * VariantPackage::MaxNestingDepth;
        const Probe p = probe(shape, depth, "qt");
        QVERIFY2(p.finished, qPrintable(p.failure));
        QCOMPARE(p.readDepth, depth);
    }

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
        const Probe p = probe(shape, depth, reader);
        QVERIFY2(p.finished, qPrintable(p.failure));
        QCOMPARE(p.readDepth, expected);
    }
};

QTEST_GUILESS_MAIN(tst_Nesting)
#include "tst_nesting.moc"
