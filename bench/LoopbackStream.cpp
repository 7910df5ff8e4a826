#include "LoopbackStream.h"

#include "PlainSocket.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <thread>

namespace {
constexpr int PieceSize = 64 * 1024;
}

double LoopbackStream::megabytesPerSecond(qint64 bytes)
{
    const PlainSocket listener = PlainSocket::listenLoopback();
    PlainSocket sender = PlainSocket::connectTo(listener.localPort());
    PlainSocket receiver = listener.accept();
    if (!sender.isValid() || !receiver.isValid())
        return 0;

    QElapsedTimer timer;
    timer.start();
    std::thread writer([&sender, bytes] {
        const QByteArray piece(PieceSize, 'f');
        for (qint64 left = bytes; left > 0; left -= PieceSize) {
            if (!sender.sendAll(piece.constData(), qMin<qint64>(left, PieceSize)))
                break;
        }
        sender.shutdownWrite();
    });
    QByteArray buffer(PieceSize, '\0');
    qint64 received = 0;
    for (;;) {
        const qint64 got = receiver.receiveSome(buffer.data(), buffer.size());
        if (got <= 0)
            break;
        received += got;
    }
    const qint64 ns = timer.nsecsElapsed();
    writer.join();
    return received == bytes && ns > 0 ? double(bytes) * 1e3 / double(ns) : 0;
}
