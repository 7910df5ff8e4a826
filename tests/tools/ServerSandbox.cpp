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

int ServerSandbox::stopStartedServers()
{
    // A started server runs the program of this build and inherited the
    // sandbox's TMPDIR from the client that started it.
    const QString program =
        QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/VelDataServer"))
            .canonicalFilePath();
    const QByteArray marker = "TMPDIR=" + QFile::encodeName(m_tempDir);
    QList<pid_t> stopped;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isProcess = false;
        const pid_t pid = pid_t(entry.toInt(&isProcess));
        const QString folder = QStringLiteral("/proc/") + entry;
        if (!isProcess || QFileInfo(folder + QStringLiteral("/exe")).symLinkTarget() != program)
            continue;
        QFile environment(folder + QStringLiteral("/environ"));
        if (!environment.open(QIODevice::ReadOnly) ||
            !environment.readAll().split('\0').contains(marker))
            continue;
        if (::kill(pid, SIGTERM) == 0)
            stopped.append(pid);
    }
    const QDeadlineTimer deadline(10000);
    for (pid_t pid : stopped) {
        while (::kill(pid, 0) == 0 && !deadline.hasExpired())
            QThread::msleep(20);
    }
    return stopped.size();
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
