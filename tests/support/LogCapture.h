#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

/// Collects the client library's trace lines, from whatever thread they come,
/// while it exists, with every level switched on; the lines still reach the
/// handler that was installed before.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    QStringList lines() const;
    /// The lines logged at warning level or above.
    QStringList warnings() const;
    bool contains(const QString &line) const { return lines().contains(line); }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text);

    mutable QMutex m_mutex;
    QStringList m_lines;
    QStringList m_warnings;
};

#endif // LOGCAPTURE_H
