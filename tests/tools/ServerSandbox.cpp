#include "ServerSandbox.h"

#include "ServerProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTcpServer>
#include <QThread>

#include <csignal>

ServerSandbox::ServerSandbox(const QString &configDir, const QString &tempDir)
    : m_configDir(configDir), m_tempDir(tempDir)
{
    QDir().mkpath(m_configDir);
    QDir().mkpath(m_tempDir);
}

ServerSandbox::~ServerSandbox()
{
    if (m_allowStart)
        stopStartedServers();
}

bool ServerSandbox::startServer(const QStringList &arguments)
{
    m_server = std::make_unique<ServerProcess>(m_dataDir.path());
    m_server->setEnvironment(QStringLiteral("TMPDIR"), m_tempDir);
    m_server->setEnvironment(QStringLiteral("XDG_CONFIG_DIRS"), m_configDir);
    if (!m_server->start(QStringList{QStringLiteral("--in-memory")} + arguments))
        return false;
    m_port = m_server->port();
    return writeSettings();
}

bool ServerSandbox::pointAt(quint16 port)
{
    m_port = port ? port : freePort();
    return m_port != 0 && writeSettings();
}

QProcessEnvironment ServerSandbox::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_DIRS"), m_configDir);
    environment.insert(QStringLiteral("TMPDIR"), m_tempDir);
    environment.remove(QStringLiteral("VELDATASERVER_AUTOSTART_DISABLE"));
    // Should a server be started all the same, its data stays in here too.
    environment.insert(QStringLiteral("XDG_DATA_HOME"), m_tempDir + QStringLiteral("/data"));
    return environment;
}

QMap<qint64, QString> ServerSandbox::startedServers() const
{
    // A started server inherited the sandbox's TMPDIR from the client that
    // started it.
    const QByteArray marker = "TMPDIR=" + QFile::encodeName(m_tempDir);
    QMap<qint64, QString> servers;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isProcess = false;
        const qint64 pid = entry.toLongLong(&isProcess);
        const QString folder = QStringLiteral("/proc/") + entry;
        const QString program = QFileInfo(folder + QStringLiteral("/exe")).symLinkTarget();
        if (!isProcess || QFileInfo(program).fileName() != QLatin1String("VelDataServer"))
            continue;
        QFile environment(folder + QStringLiteral("/environ"));
        if (environment.open(QIODevice::ReadOnly) &&
            environment.readAll().split('\0').contains(marker))
            servers.insert(pid, program);
    }
    return servers;
}

int ServerSandbox::stopStartedServers()
{
    QList<pid_t> stopped;
    const QList<qint64> servers = startedServers().keys();
    for (qint64 pid : servers) {
        if (::kill(pid_t(pid), SIGTERM) == 0)
            stopped.append(pid_t(pid));
    }
    const QDeadlineTimer deadline(10000);
    for (pid_t pid : stopped) {
        while (isRunning(pid) && !deadline.hasExpired())
            QThread::msleep(20);
    }
    return stopped.size();
}

bool ServerSandbox::isRunning(qint64 pid)
{
    // A started server's parent is init, which need not reap it: an ended
    // one may stay a zombie ("Z" after the program name in its stat line).
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const int end = line.lastIndexOf(')');
    return end > 0 && line.mid(end + 2, 1) != "Z";
}

quint16 ServerSandbox::freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool ServerSandbox::writeSettings()
{
    QSettings settings(m_configDir + QStringLiteral("/Haltra/VelDataServer.conf"),
                       QSettings::IniFormat);
    settings.clear();
    settings.beginGroup(QStringLiteral("Settings"));
    settings.setValue(QStringLiteral("serverPort"), m_port);
    settings.setValue(QStringLiteral("startServerOnRequest"), m_allowStart ? 1 : 0);
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
}
