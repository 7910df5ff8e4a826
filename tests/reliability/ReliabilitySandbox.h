#ifndef RELIABILITYSANDBOX_H
#define RELIABILITYSANDBOX_H

#include <QList>
#include <QString>

/// The folders a reliability test runs in, and the VelDataServer processes
/// running there. ctest gives every test program its own TMPDIR (where the
/// readiness block lives) and settings folder; this adds XDG_DATA_HOME, so a
/// server the client starts by itself keeps its data in the sandbox too. A
/// server belongs to the sandbox when it runs this build's program with the
/// sandbox's TMPDIR, whether the test or a client started it.
class ReliabilitySandbox
{
public:
    /// Makes "data-home" the data home and lets clients start servers.
    static void enter();
    static QString path(const QString &name);
    /// Makes `name` in the sandbox the XDG_DATA_HOME of this process and of
    /// every server a client starts from now on.
    static void useDataHome(const QString &name);
    /// Where a server started without arguments keeps its database.
    static QString defaultDataDir();

    /// Process ids of the servers running in this sandbox.
    static QList<qint64> servers();
    /// Attachments of the readiness block "VelDataServer-Ready" (0 for a block
    /// that a killed server left behind), or -1 when there is none. Looks at
    /// the System V segment directly, since attaching would change the count.
    static int readinessBlockAttachments();
    /// A field of /proc/<pid>/status in KiB ("VmHWM", "VmRSS"), or -1.
    static qint64 memoryKiB(qint64 pid, const char *field);
};

#endif // RELIABILITYSANDBOX_H
