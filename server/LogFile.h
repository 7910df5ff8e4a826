#ifndef LOGFILE_H
#define LOGFILE_H

#include <QFile>
#include <QMutex>
#include <QString>

/// Where the server's diagnostics go when nobody reads its standard error, as
/// when a client started it: every Qt message, one line each with its time,
/// level and category, appended to a file. A file grown past its cap is
/// renamed with ".1" appended (replacing the one there), and a new one begun,
/// so a long-running server keeps at most about twice the cap on disk.
class LogFile
{
public:
    static constexpr qint64 DefaultMaxSize = qint64(4) << 20;

    LogFile() = default;
    /// Puts back the message handler that was there before open().
    ~LogFile();
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    /// Opens `path` for appending, creating its folder, and sends every Qt
    /// message of the process there from now on; false with `error` set.
    /// One LogFile at a time may be open.
    bool open(const QString &path, QString *error, qint64 maxSize = DefaultMaxSize);
    bool isOpen() const { return m_file.isOpen(); }

private:
    static void handleMessage(QtMsgType type, const QMessageLogContext &context,
                              const QString &message);
    void write(const QByteArray &line);

    QFile m_file;
    QMutex m_mutex;
    qint64 m_maxSize = DefaultMaxSize;
    QtMessageHandler m_previous = nullptr;
};

#endif // LOGFILE_H
