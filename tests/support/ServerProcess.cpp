#include "ServerProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QThread>

#include <csignal>

ServerProcess::ServerProcess(const QString &dataDir) : m_dataDir(dataDir) {}

ServerProcess::~ServerProcess()
{
    // A clean stop, so the next server of the test finds no block left over.
    if (m_process.state() != QProcess::NotRunning && terminate() == -1)
        kill();
}

void ServerProcess::setEnvironment(const QString &name, const QString &value)
{
    m_environment.insert(name, value);
}

bool ServerProcess::start(const QStringList &arguments)
{
    QStringList all{QStringLiteral("--data-dir"), m_dataDir};
    if (!arguments.contains(QStringLiteral("--port")))
        all << QStringLiteral("--port") << QStringLiteral("0");
    all << arguments;
    m_port = 0;
    m_process.setProcessEnvironment(m_environment);
    m_process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/VelDataServer"), all);
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired()) {
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine().trimmed();
            if (line.startsWith("listening on port ")) {
                m_port = quint16(line.mid(18).toUInt());
                return m_port != 0;
            }
        }
        if (m_process.state() == QProcess::NotRunning)
            return false;
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    return false;
}

int ServerProcess::terminate()
{
    ::kill(pid_t(m_process.processId()), SIGTERM);
    return waitForExit();
}

void ServerProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(StartTimeoutMs);
}

int ServerProcess::waitForExit()
{
    if (!m_process.waitForFinished(StartTimeoutMs) && m_process.state() != QProcess::NotRunning)
        return -1;
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QByteArray ServerProcess::errorOutput()
{
    m_errors += m_process.readAllStandardError();
    QFile log(m_dataDir + QStringLiteral("/VelDataServer.log"));
    return log.open(QIODevice::ReadOnly) ? m_errors + log.readAll() : m_errors;
}

bool ServerProcess::hasUnreadInput(quint16 port)
{
    // Lines of "sl local rem st tx_queue:rx_queue ...", addresses as HEXIP:HEXPORT.
    const QByteArray localPort =
        ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        file.readLine();
        while (!file.atEnd()) {
            const QList<QByteArray> fields = file.readLine().simplified().split(' ');
            if (fields.size() < 5 || !fields.at(1).endsWith(localPort) || fields.at(3) != "01")
                continue;
            if (fields.at(4).split(':').value(1).toLongLong(nullptr, 16) > 0)
                return true;
        }
    }
    return false;
}

QStringList ServerProcess::stopStarted(const QString &tempDir)
{
    // A started server inherited its starter's TMPDIR. One that ended shows
    // neither a program nor an environment, even before it is reaped.
    const QByteArray marker = "TMPDIR=" + QFile::encodeName(tempDir);
    const auto started = [&marker] {
        QMap<qint64, QString> servers;
        const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        for (const QString &entry : entries) {
            const QString folder = QStringLiteral("/proc/") + entry;
            const QString program = QFileInfo(folder + QStringLiteral("/exe")).symLinkTarget();
            QFile environment(folder + QStringLiteral("/environ"));
            if (QFileInfo(program).fileName() == QLatin1String("VelDataServer") &&
                environment.open(QIODevice::ReadOnly) &&
                environment.readAll().split('\0').contains(marker))
                servers.insert(entry.toLongLong(), program);
        }
        return servers;
    };
    const QMap<qint64, QString> servers = started();
    for (const qint64 pid : servers.keys())
        ::kill(pid_t(pid), SIGTERM);
    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!started().isEmpty() && !deadline.hasExpired())
        QThread::msleep(20);
    return servers.values();
}
