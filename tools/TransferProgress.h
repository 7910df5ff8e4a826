#ifndef TRANSFERPROGRESS_H
#define TRANSFERPROGRESS_H

#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include <atomic>

/// A progress line on standard error while a file transfer blocks the main
/// thread. The library sends or fetches a file in one synchronous call and
/// reports nothing until it ends, so the line shows what is really known: the
/// size when it is known beforehand, a spinner and the elapsed time. It is
/// drawn from a thread of its own.
class TransferProgress : public QThread
{
public:
    /// Transfers below this size finish too fast to need a progress line.
    static constexpr qint64 MinimumSize = 4 * 1024 * 1024;

    /// Whether standard error is a terminal; a progress line is only for a
    /// person watching.
    static bool onTerminal();

    /// `action` names the transfer ("sending", "receiving"); `size` is -1 when
    /// unknown, and the line then appears only once half a second has passed.
    TransferProgress(const QString &action, qint64 size);
    ~TransferProgress() override;

    /// Ends the line with what was transferred ("sent", "received") and how
    /// long it took, if the line was shown or the size is large.
    void finish(const QString &done, qint64 size);

protected:
    void run() override;

private:
    /// Ends the drawing; true if the line had been shown.
    bool stop();
    void draw();

    QString m_action;
    qint64 m_size;
    QElapsedTimer m_clock;
    std::atomic<bool> m_shown{false};
    int m_frame = 0;
};

#endif // TRANSFERPROGRESS_H
