#include "TransferProgress.h"

#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int DrawIntervalMs = 100;
constexpr qint64 UnknownSizeDelayMs = 500;

QString sizeText(qint64 bytes)
{
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KiB").arg(double(bytes) / 1024, 0, 'f', 1);
    return QStringLiteral("%1 MiB").arg(double(bytes) / (1024 * 1024), 0, 'f', 1);
}

void writeError(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace

bool TransferProgress::onTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

TransferProgress::TransferProgress(const QString &action, qint64 size)
    : m_action(action), m_size(size)
{
    m_clock.start();
    start();
}

TransferProgress::~TransferProgress()
{
    stop();
}

void TransferProgress::finish(const QString &done, qint64 size)
{
    const bool shown = stop();
    if (!shown && size < MinimumSize)
        return;
    writeError(QStringLiteral("%1 %2 in %3 s\n")
                   .arg(done, sizeText(size))
                   .arg(double(m_clock.elapsed()) / 1000, 0, 'f', 1));
}

bool TransferProgress::stop()
{
    quit();
    wait();
    // Takes the line back, so that what follows (a summary, an error) starts
    // on a clean line.
    const bool shown = m_shown.exchange(false);
    if (shown)
        writeError(QStringLiteral("\r\033[K"));
    return shown;
}

void TransferProgress::run()
{
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [this] { draw(); });
    timer.start(DrawIntervalMs);
    exec();
}

void TransferProgress::draw()
{
    const qint64 elapsed = m_clock.elapsed();
    if (m_size < 0 && elapsed < UnknownSizeDelayMs)
        return;
    static const char spinner[] = {'|', '/', '-', '\\'};
    m_frame = (m_frame + 1) % 4;
    const QString size = m_size < 0 ? QString() : sizeText(m_size) + QLatin1Char(' ');
    writeError(QStringLiteral("\r%1 %2%3 %4 s")
                   .arg(m_action, size, QChar::fromLatin1(spinner[m_frame]))
                   .arg(double(elapsed) / 1000, 0, 'f', 1));
    m_shown = true;
}
