#ifndef SERVERSANDBOX_H
#define SERVERSANDBOX_H

#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class ServerProcess;

/// A settings folder and a temporary folder of their own, so that vdsctl run
/// in them talks only to what the test put there: a real VelDataServer, or no
/// server at all. Unless told otherwise, the settings forbid vdsctl to start
/// a server behind the test's back; a sandbox that allows it stops what was
/// started when it goes.
class ServerSandbox
{
public:
    /// `configDir` receives Haltra/VelDataServer.conf; `tempDir` is the TMPDIR
    /// where the server's readiness block lives.
    ServerSandbox(const QString &configDir, const QString &tempDir);
    ~ServerSandbox();

    /// Starts an in-memory server on a free port, with `arguments` besides,
    /// and writes that port into the settings; false if it did not come up.
    bool startServer(const QStringList &arguments = {});
    /// Writes settings that name `port` (a free one when 0) without a server.
    bool pointAt(quint16 port = 0);
    /// Settings written from now on let the client start a server.
    void allowStart() { m_allowStart = true; }
    ServerProcess *server() const { return m_server.get(); }
    /// The servers that clients started in this sandbox (they are no
    /// children of the test), wherever their program stands: pid and program.
    QMap<qint64, QString> startedServers() const;
    /// Stops them with SIGTERM; the number of them.
    int stopStartedServers();
    /// Whether the process runs (and has not merely ended unreaped).
    static bool isRunning(qint64 pid);
    quint16 port() const { return m_port; }

    /// The environment for vdsctl: these folders, and no autostart switch.
    QProcessEnvironment environment() const;

    static quint16 freePort();

private:
    bool writeSettings();

    QString m_configDir;
    QString m_tempDir;
    QTemporaryDir m_dataDir;
    std::unique_ptr<ServerProcess> m_server;
    quint16 m_port = 0;
    bool m_allowStart = false;
};

#endif // SERVERSANDBOX_H
