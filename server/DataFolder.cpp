#include "DataFolder.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

/// Why `path` could not be made: the first part of it that exists is either
/// not a folder or not writable.
QString whyNotCreated(const QString &path)
{
    QFileInfo part(QDir::cleanPath(QDir(path).absolutePath()));
    while (!part.exists() && !part.isRoot() && part.absolutePath() != part.absoluteFilePath())
        part = QFileInfo(part.absolutePath());
    if (!part.isDir())
        return QStringLiteral("%1 is a file, not a folder").arg(native(part.absoluteFilePath()));
    return QStringLiteral("no permission to create folders in %1")
        .arg(native(part.absoluteFilePath()));
}

} // namespace

bool DataFolder::claim(const QString &path, QString *error)
{
    if (!QDir().mkpath(path)) {
        *error = QStringLiteral("cannot create the data folder %1: %2")
                     .arg(native(path), whyNotCreated(path));
        return false;
    }
    m_lock = std::make_unique<QLockFile>(QDir(path).filePath(QStringLiteral("server.lock")));
    if (m_lock->tryLock(0))
        return true;
    m_heldByAnother = m_lock->error() == QLockFile::LockFailedError;
    if (m_heldByAnother) {
        qint64 pid = 0;
        QString host, application;
        m_lock->getLockInfo(&pid, &host, &application);
        *error = QStringLiteral("another VelDataServer (pid %1) is using the data folder %2")
                     .arg(pid)
                     .arg(native(path));
    } else {
        *error = QStringLiteral("cannot write in the data folder %1: no permission to create %2")
                     .arg(native(path), QStringLiteral("server.lock"));
    }
    m_lock.reset();
    return false;
}
