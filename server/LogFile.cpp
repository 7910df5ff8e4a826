#include "LogFile.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

namespace {

LogFile *current = nullptr;

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "?";
}

} // namespace

LogFile::~LogFile()
{
    if (current == this) {
        qInstallMessageHandler(m_previous);
        current = nullptr;
    }
}

bool LogFile::open(const QString &path, QString *error, qint64 maxSize)
{
    m_file.setFileName(path);
    m_maxSize = maxSize;
    // Unbuffered: a line is on disk once logged, also when the server is
    // killed right after.
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) ||
        !m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot open the log file %1: %2")
                     .arg(QDir::toNativeSeparators(path), m_file.errorString());
        return false;
    }
    current = this;
    m_previous = qInstallMessageHandler(&LogFile::handleMessage);
    return true;
}

void LogFile::handleMessage(QtMsgType type, const QMessageLogContext &context,
                            const QString &message)
{
    QByteArray line = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8();
    line += ' ';
    line += levelName(type);
    if (context.category && qstrcmp(context.category, "default") != 0)
        line += QByteArray(" ") + context.category;
    line += ": " + message.toUtf8() + '\n';
    current->write(line);
}

void LogFile::write(const QByteArray &line)
{
    QMutexLocker lock(&m_mutex);
    if (m_file.size() > 0 && m_file.size() + line.size() > m_maxSize) {
        const QString path = m_file.fileName();
        const QString older = path + QStringLiteral(".1");
        m_file.close();
        QFile::remove(older);
        QFile::rename(path, older);
        // Should the new file not open, the lines are lost rather than the
        // server: there is nobody to tell.
        m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    }
    if (m_file.isOpen())
        m_file.write(line);
}
