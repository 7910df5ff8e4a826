#ifndef RELIABILITYSANDBOX_H
#define RELIABILITYSANDBOX_H

#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>

/// The folders a reliability test runs in, and the VelDataServer processes
/// running there. ctest gives every test program its own TMPDIR (where the
/// readiness block lives) and settings folder; this adds XDG_DATA_HOME, so a
/// server the client starts by itself keeps its data in the sandbox too. A
/// server belongs to the sandbox when it runs this build's program with the
/// sandbox's TMPDIR, whether the test or a client started it; every one left
/// is killed when the sandbox goes.
class ReliabilitySandbox
{
public:
    ReliabilitySandbox();
    ~ReliabilitySandbox();

    QString path(const QString &name) const;
    /// Makes `name` in the sandbox the XDG_DATA_HOME of this process and of
    /// every server a client starts from now on ("data-home" at first).
    void useDataHome(const QString &name) const;
    /// Where a server started without arguments keeps its database.
    static QString defaultDataDir();

    /// Process ids of the servers running in this sandbox.
    static QList<qint64> servers();
    /// SIGTERM, and SIGKILL for any still running after 10 s; how many there were.
    static int stopServers();
    /// Attachments of the readiness block "VelDataServer-Ready" (0 for a block
    /// that a killed server left behind), or -1 when there is none. Looks at
    /// the System V segment directly, since attaching would change the count.
    static int readinessBlockAttachments();
    /// A field of /proc/<pid>/status in KiB ("VmHWM", "VmRSS"), or -1.
    static qint64 memoryKiB(qint64 pid, const char *field);

private:
    QString m_root;
};

#endif // RELIABILITYSANDBOX_H
