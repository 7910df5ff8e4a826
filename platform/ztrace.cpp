#include "ztrace.h"

#include <QDateTime>
#include <QFile>
#include <QMessageLogger>
#include <QMutex>
#include <QMutexLocker>
#include <QString>

#include <cstdarg>
#include <cstdio>

Q_LOGGING_CATEGORY(lcVelDataClient, "veldata.client", QtWarningMsg)

namespace {

/// What the environment adds to the category's own filter, read once.
struct TraceOverrides
{
    int forcedLevel = 0;
    QFile *file = nullptr;
    QMutex fileMutex;
};

TraceOverrides *readOverrides()
{
    auto *overrides = new TraceOverrides;
    bool ok = false;
    const int level = qEnvironmentVariableIntValue("ZTRACE_LEVEL", &ok);
    if (ok)
        overrides->forcedLevel = level;
    const QString path = qEnvironmentVariable("ZTRACE_FILE");
    if (!path.isEmpty()) {
        auto *file = new QFile(path);
        // Unbuffered: every line is on disk once written, nothing is lost at exit.
        if (file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            overrides->file = file;
        } else {
            // Not through Qt logging: a handler that traces would re-enter here.
            std::fprintf(stderr, "ztrace: cannot open ZTRACE_FILE %s\n",
                         QFile::encodeName(path).constData());
            delete file;
        }
    }
    return overrides;
}

TraceOverrides &overrides()
{
    // Never destroyed, so that threads still tracing while the process exits
    // find it intact.
    static TraceOverrides *const instance = readOverrides();
    return *instance;
}

QtMsgType messageTypeForLevel(int level)
{
    if (level <= 1)
        return QtWarningMsg;
    if (level <= 4)
        return QtInfoMsg;
    return QtDebugMsg;
}

/// The position that ZTrace_Location hands to the next ZTrace_Always of the
/// same thread. The file name is copied, so the caller's text may go away.
struct PendingLocation
{
    char file[256];
    int line;
    int level;
    bool set;
};

thread_local PendingLocation pendingLocation;

QByteArray formatText(const char *format, va_list arguments)
{
    char small[512];
    va_list attempt;
    va_copy(attempt, arguments);
    const int needed = std::vsnprintf(small, sizeof small, format, attempt);
    va_end(attempt);
    if (needed < 0)
        return QByteArray(format);
    if (needed < int(sizeof small))
        return QByteArray(small, needed);
    QByteArray text(needed, Qt::Uninitialized);
    std::vsnprintf(text.data(), std::size_t(needed) + 1, format, arguments);
    return text;
}

void appendToFile(TraceOverrides &overrides, const PendingLocation &where, const QByteArray &text)
{
    const QByteArray line = QDateTime::currentDateTime()
                                .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
                                .toLatin1() +
                            " [" + QByteArray::number(where.level) + "] " + where.file + ':' +
                            QByteArray::number(where.line) + ' ' + text + '\n';
    QMutexLocker lock(&overrides.fileMutex);
    overrides.file->write(line);
}

} // namespace

int ZTrace_TestMasterLevel(int level)
{
    if (level <= overrides().forcedLevel)
        return 1;
    return lcVelDataClient().isEnabled(messageTypeForLevel(level)) ? 1 : 0;
}

int ZTrace_Location(const char *file, int line, const char * /*channel*/, int level)
{
    qstrncpy(pendingLocation.file, file ? file : "", sizeof pendingLocation.file);
    pendingLocation.line = line;
    pendingLocation.level = level;
    pendingLocation.set = true;
    return 1;
}

void ZTrace_Always(const char *format, ...)
{
    // Taken before anything is emitted: a message handler may trace itself.
    PendingLocation where = pendingLocation;
    pendingLocation.set = false;
    if (!where.set) {
        where.file[0] = '\0';
        where.line = 0;
        where.level = 1;
    }

    va_list arguments;
    va_start(arguments, format);
    const QByteArray text = formatText(format ? format : "", arguments);
    va_end(arguments);

    TraceOverrides &extra = overrides();
    if (extra.file)
        appendToFile(extra, where, text);

    const QString message = QString::fromLocal8Bit(text);
    QMessageLogger logger(where.file[0] ? where.file : nullptr, where.line, nullptr,
                          lcVelDataClient().categoryName());
    switch (messageTypeForLevel(where.level)) {
    case QtWarningMsg:
        logger.warning().noquote().nospace() << message;
        break;
    case QtInfoMsg:
        logger.info().noquote().nospace() << message;
        break;
    default:
        logger.debug().noquote().nospace() << message;
        break;
    }
}
