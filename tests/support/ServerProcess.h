#ifndef SERVERPROCESS_H
#define SERVERPROCESS_H

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

/// The real VelDataServer program run by a test: started with its own data
/// folder and a free port, ready once it has printed its "listening on port
/// N" line, stopped with SIGTERM or SIGKILL. Every wait is bounded.
class ServerProcess
{
public:
    static constexpr int StartTimeoutMs = 30000;

    explicit ServerProcess(const QString &dataDir);
    ~ServerProcess();

    /// Extra environment, e.g. XDG_CONFIG_DIRS pointing at a settings file.
    void setEnvironment(const QString &name, const QString &value);
    /// Starts with `--data-dir` and `arguments` (and `--port 0` unless they
    /// name a port) and waits for the listening line; false if the program
    /// ended first or the wait ran out.
    bool start(const QStringList &arguments = {});
    quint16 port() const { return m_port; }
    qint64 processId() const { return m_process.processId(); }
    /// Whether some connection to `port` on this machine holds bytes that
    /// its server has not read yet: a request has reached a server that is
    /// stopped or busy. Read from the kernel's TCP tables.
    static bool hasUnreadInput(quint16 port);
    /// Stops with SIGTERM the servers that clients started with `tempDir` as
    /// their TMPDIR (no children of the test: found in /proc), waits until
    /// they are gone, and returns their programs.
    static QStringList stopStarted(const QString &tempDir);

    /// SIGTERM, then the exit code (-1 for a crash or no exit in time).
    int terminate();
    /// SIGKILL, leaving behind whatever the program left.
    void kill();
    /// Exit code of a program that ended by itself (-1 if it did not).
    int waitForExit();
    /// Everything the program wrote to stderr so far, then its log file (in
    /// the data folder, as standard error is no terminal); all of it once it
    /// ended.
    QByteArray errorOutput();

private:
    QProcess m_process;
    QProcessEnvironment m_environment = QProcessEnvironment::systemEnvironment();
    QString m_dataDir;
    QByteArray m_errors;
    quint16 m_port = 0;
};

#endif // SERVERPROCESS_H
