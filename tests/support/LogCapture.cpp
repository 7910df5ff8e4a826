#include "LogCapture.h"

#include <QLoggingCategory>
#include <QMutexLocker>

#include <atomic>

namespace {
// Read by the handler on any thread; set only while no worker thread runs.
std::atomic<LogCapture *> active{nullptr};
std::atomic<QtMessageHandler> previousHandler{nullptr};
} // namespace

LogCapture::LogCapture()
{
    QLoggingCategory::setFilterRules(QStringLiteral("veldata.client.debug=true\n"
                                                    "veldata.client.info=true"));
    previousHandler = qInstallMessageHandler(&LogCapture::handle);
    active = this;
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previousHandler.load());
    active = nullptr;
    QLoggingCategory::setFilterRules(QString());
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

QStringList LogCapture::warnings() const
{
    QMutexLocker lock(&m_mutex);
    return m_warnings;
}

void LogCapture::handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    LogCapture *capture = active.load();
    if (capture && context.category && qstrcmp(context.category, "veldata.client") == 0) {
        QMutexLocker lock(&capture->m_mutex);
        capture->m_lines.append(text);
        if (type != QtDebugMsg && type != QtInfoMsg)
            capture->m_warnings.append(text);
    }
    if (const QtMessageHandler previous = previousHandler.load())
        previous(type, context, text);
}
