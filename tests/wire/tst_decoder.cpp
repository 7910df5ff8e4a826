#include "WireTest.h"

#include "AllocationMeter.h"

#include "FilePackage.h"

#include <QtTest>

#include <limits>

using namespace wire;

namespace {

// Frames back to back, each with the payload size its header gives and the
// frame its package writes (empty when no package is built).
struct Stream
{
    QByteArray bytes;
    QList<int> frameEnds;
    QList<qint64> dataSizes;
    QStringList written;

    void add(const QString &frameHex, qint64 dataSize, const QString &writtenHex)
    {
        bytes += wire::bytes(frameHex);
        frameEnds.append(bytes.size());
        dataSizes.append(dataSize);
        written.append(writtenHex);
    }
};

// Every shape of frame the decoder tells apart.
const Stream &mixedStream()
{
    static const Stream stream = [] {
        Stream s;
        const QString response = frame(14, 9, "00000005 00000002 0078");
        s.add(response, 10, response);
        s.add(frame(13, 4, "616263"), 3, QString());
        s.add(frame(3, 6, ""), 0, frame(3, 6, kindUnknown + "ffffffff"));
        // The bytes after a negative size belong to the next frame, not to this payload.
        s.add(header(10, 7, -5), -5, frame(10, 7, kindUnknown + "ffffffff"));
        const qint64 lowest = std::numeric_limits<qint64>::min();
        s.add(header(7, 8, lowest), lowest, frame(7, 8, kindUnknown + "00000000"));
        const QString intFrame = frame(5, 7, runtimeAB + "00000005");
        s.add(intFrame, 34, intFrame);
        const QString identify = frame(15, 0, "00000002 0070 01");
        s.add(identify, 7, identify);
        return s;
    }();
    return stream;
}

// A file payload: a null kind and a null name, then content.
QByteArray filePayload(int size)
{
    QByteArray payload = QByteArray::fromHex("ffffffffffffffff").left(size);
    while (payload.size() < size)
        payload += char(payload.size() % 251);
    return payload;
}

} // namespace

class tst_Decoder : public QObject
{
    Q_OBJECT

private slots:
    void deliveries_data()
    {
        QTest::addColumn<QList<int>>("pieces");
        const Stream &s = mixedStream();
        QTest::newRow("in one call") << QList<int>{s.bytes.size()};
        QTest::newRow("byte at a time") << QVector<int>(s.bytes.size(), 1).toList();
        QTest::newRow("two frames and part of the third, then the rest")
            << QList<int>{s.frameEnds[1] + 5, s.bytes.size() - s.frameEnds[1] - 5};
        for (int cut = 1; cut < s.bytes.size(); ++cut)
            QTest::newRow(qPrintable(QStringLiteral("split at %1").arg(cut)))
                << QList<int>{cut, s.bytes.size() - cut};
    }

    // After every piece, exactly the frames whose last byte has arrived are out.
    void deliveries()
    {
        QFETCH(QList<int>, pieces);
        const Stream &s = mixedStream();
        Decoding d;
        int delivered = 0;
        for (int piece : pieces) {
            d.decoder.processData(s.bytes.mid(delivered, piece));
            delivered += piece;
            int ended = 0;
            while (ended < s.frameEnds.size() && s.frameEnds[ended] <= delivered)
                ++ended;
            QCOMPARE(d.received.size(), ended);
        }
        for (int i = 0; i < s.written.size(); ++i) {
            const BasicPackagePtr &package = d.received[i].package;
            QCOMPARE(d.received[i].dataSize, s.dataSizes[i]);
            QCOMPARE(package ? hex(FrameBytes::encode(*package)) : QString(), plain(s.written[i]));
        }
    }

    void chunking_data()
    {
        QTest::addColumn<int>("payloadSize");
        QTest::addColumn<int>("pieceSize");
        QTest::addColumn<bool>("streamed");
        QTest::addColumn<QList<int>>("contentChunks");
        // The first chunk of a file package loses the 8 bytes of kind and name.
        QTest::newRow("empty payload") << 0 << 1 << false << QList<int>{0};
        QTest::newRow("65536 bytes") << 65536 << 65536 << false << QList<int>{65528};
        QTest::newRow("65537 bytes") << 65537 << 65537 << false << QList<int>{65528, 1};
        QTest::newRow("65546 bytes byte by byte") << 65546 << 1 << false << QList<int>{65528, 10};
        const QList<int> chunks200000{65528, 65536, 65536, 3392};
        QTest::newRow("200000 bytes whole") << 200000 << 200000 << false << chunks200000;
        QTest::newRow("200000 bytes in pieces of 1000") << 200000 << 1000 << false << chunks200000;
        QTest::newRow("200000 bytes in pieces of 70000")
            << 200000 << 70000 << false << chunks200000;
        // Streamed, the chunks are the whole payload's, cut at the same points.
        QTest::newRow("empty payload, streamed") << 0 << 1 << true << QList<int>{0};
        QTest::newRow("65546 bytes byte by byte, streamed")
            << 65546 << 1 << true << QList<int>{65536, 10};
        QTest::newRow("200000 bytes in pieces of 70000, streamed")
            << 200000 << 70000 << true << QList<int>{65536, 65536, 65536, 3392};
    }

    void chunking()
    {
        QFETCH(int, payloadSize);
        QFETCH(int, pieceSize);
        QFETCH(bool, streamed);
        QFETCH(QList<int>, contentChunks);
        const QByteArray payload = filePayload(payloadSize);
        // A frame after the file's: the decoder goes on with it.
        const QByteArray stream = bytes(header(10, 3, payloadSize)) + payload +
                                  bytes(frame(14, 4, "00000005 00000002 0078"));
        Decoding d;
        QList<int> sizes;
        QByteArray content;
        if (streamed) {
            d.decoder.setStreamFiles(true);
            // A limit for the other frames only.
            d.decoder.setPayloadLimit(10);
            QObject::connect(&d.decoder, &HeaderDecoder::fileChunk,
                             [&](int id, qint64 size, qint64 offset, const QByteArray &chunk) {
                                 QCOMPARE(id, 3);
                                 QCOMPARE(size, qint64(payloadSize));
                                 QCOMPARE(offset, qint64(content.size()));
                                 sizes << chunk.size();
                                 content += chunk;
                             });
        }
        d.decoder.processData(stream.left(BasicPackage::HeaderSize));
        for (int at = BasicPackage::HeaderSize; at < stream.size(); at += pieceSize)
            d.decoder.processData(stream.mid(at, pieceSize));
        if (streamed) {
            QCOMPARE(sizes, contentChunks);
            QVERIFY(content == payload);
            QCOMPARE(d.received.size(), 1);
            QCOMPARE(d.received[0].package->packageId(), 4);
            return;
        }
        QCOMPARE(d.received.size(), 2);
        QCOMPARE(d.received[0].dataSize, qint64(payloadSize));
        const auto file = d.received[0].package.dynamicCast<FilePackage>();
        QVERIFY(file);
        for (const QByteArray *chunk : file->chunks()) {
            sizes << chunk->size();
            content += *chunk;
        }
        QCOMPARE(sizes, contentChunks);
        QVERIFY(content == payload.mid(8));
    }

    void reset_data()
    {
        QTest::addColumn<QByteArray>("partial");
        const QByteArray largeFile = bytes(header(10, 1, 100000)) + filePayload(70000);
        QTest::newRow("part of a header") << largeFile.left(10);
        QTest::newRow("part of a payload")
            << bytes(frame(14, 1, "00000005 00000002 0078")).left(20);
        QTest::newRow("part of a chunked file") << largeFile;
    }

    void reset()
    {
        QFETCH(QByteArray, partial);
        const QString response = frame(14, 2, "00000004 ffffffff");
        Decoding d;
        d.decoder.processData(partial);
        d.decoder.reset();
        d.decoder.processData(bytes(response));
        QCOMPARE(d.received.size(), 1);
        QVERIFY(d.received[0].package);
        QCOMPARE(hex(FrameBytes::encode(*d.received[0].package)), plain(response));
        // A decoder destroyed in the middle of a frame frees what it holds; the
        // sanitizer build reports it otherwise.
        HeaderDecoder().processData(partial);
    }

    // A frame that trickles in a byte at a time is held once, not copied
    // whole for every byte (64 KiB that way would cost 2 GiB of copies).
    void trickledFrameIsHeldOnce()
    {
        const QByteArray frameBytes =
            bytes(frame(3, 1, mqttK + "0000fff0" + QString(0xfff0 * 2, '6')));
        Decoding d;
        AllocationMeter::restart();
        for (char byte : frameBytes)
            d.decoder.processData(QByteArray(1, byte));
        const std::ptrdiff_t allocated = AllocationMeter::allocatedSinceStart();
        QCOMPARE(d.received.size(), 1);
        if (!AllocationMeter::available())
            QSKIP("the heap is counted under AddressSanitizer only");
        QVERIFY2(allocated < 64 * frameBytes.size(),
                 qPrintable(QStringLiteral("%1 bytes allocated for a frame of %2")
                                .arg(allocated)
                                .arg(frameBytes.size())));
    }

    // A header may announce a terabyte that never comes: the decoder waits for
    // it without holding room for it.
    void unsentPayloadIsNotReserved()
    {
        Decoding d;
        AllocationMeter::restart();
        d.decoder.processData(bytes(header(3, 1, qint64(1) << 40) + "616263"));
        const std::ptrdiff_t peak = AllocationMeter::peakAboveStart();
        QVERIFY(d.received.isEmpty());
        if (!AllocationMeter::available())
            QSKIP("the heap is counted under AddressSanitizer only");
        QVERIFY2(peak < 64 * 1024, qPrintable(QStringLiteral("%1 bytes held").arg(peak)));
    }

    void payloadLimit()
    {
        const QString fits = frame(14, 1, "00000005 00000002 0078");
        const QString tooLarge = frame(14, 2, "00000005 00000002 0078 00");
        Decoding d;
        QSignalSpy refused(&d.decoder, &HeaderDecoder::frameTooLarge);
        d.decoder.setPayloadLimit(10);
        d.decoder.processData(bytes(fits + tooLarge + fits));
        QCOMPARE(d.received.size(), 1);
        QCOMPARE(refused.size(), 1);
        QCOMPARE(refused[0], (QVariantList{14, 2, qint64(11)}));
        d.decoder.processData(bytes(fits));
        QCOMPARE(d.received.size(), 1);
        d.decoder.reset();
        d.decoder.processData(bytes(fits));
        QCOMPARE(d.received.size(), 2);
        QCOMPARE(refused.size(), 1);
    }
};

QTEST_APPLESS_MAIN(tst_Decoder)
#include "tst_decoder.moc"
