#include "ReliabilitySandbox.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/ipc.h>
#include <sys/shm.h>

void ReliabilitySandbox::enter()
{
    useDataHome(QStringLiteral("data-home"));
    qunsetenv("VELDATASERVER_AUTOSTART_DISABLE");
}

QString ReliabilitySandbox::path(const QString &name)
{
    return qEnvironmentVariable("VDS_TEST_SANDBOX", QDir::tempPath()) + QLatin1Char('/') + name;
}

void ReliabilitySandbox::useDataHome(const QString &name)
{
    QDir().mkpath(path(name));
    // Inherited by every server a client starts from this process.
    qputenv("XDG_DATA_HOME", QFile::encodeName(path(name)));
}

QString ReliabilitySandbox::defaultDataDir()
{
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Haltra/VelDataServer");
}

QList<qint64> ReliabilitySandbox::servers()
{
    const QString program =
        QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/VelDataServer"))
            .canonicalFilePath();
    const QByteArray tmpdir = "TMPDIR=" + qgetenv("TMPDIR");
    QList<qint64> found;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
        if (numeric && QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)) == program &&
            environ.open(QIODevice::ReadOnly) && environ.readAll().split('\0').contains(tmpdir))
            found.append(pid);
    }
    return found;
}

int ReliabilitySandbox::readinessBlockAttachments()
{
    // QSharedMemory's key on Unix: a file in the temporary folder named after
    // the key's letters and its SHA-1, turned into a System V key by ftok.
    const QString key = QStringLiteral("VelDataServer-Ready");
    QString name = QStringLiteral("qipc_sharedmemory_");
    for (QChar c : key) {
        if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
            (c >= QLatin1Char('A') && c <= QLatin1Char('Z')))
            name += c;
    }
    name += QString::fromLatin1(
        QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex());
    const key_t systemKey =
        ::ftok(QFile::encodeName(QDir::tempPath() + QLatin1Char('/') + name).constData(), 'Q');
    const int id = systemKey == -1 ? -1 : ::shmget(systemKey, 0, 0400);
    shmid_ds state{};
    if (id == -1 || ::shmctl(id, IPC_STAT, &state) == -1)
        return -1;
    return int(state.shm_nattch);
}

qint64 ReliabilitySandbox::memoryKiB(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
