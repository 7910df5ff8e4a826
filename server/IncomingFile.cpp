#include "IncomingFile.h"

#include <QDir>
#include <QStorageInfo>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Write-back of what has arrived is started every this many bytes, so that
// the final synchronisation waits for the tail only, not for the whole file.
constexpr qint64 WriteBackStep = qint64(32) << 20;

bool syncFolder(const QString &folder)
{
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace

IncomingFile::IncomingFile(qint64 id, const QString &folder, qint64 size)
    : m_folder(folder), m_finalPath(folder.isEmpty() ? QString() : pathOf(folder, id)), m_id(id),
      m_size(size)
{}

QString IncomingFile::pathOf(const QString &folder, qint64 id)
{
    return folder + QLatin1Char('/') + QString::number(id);
}

IncomingFile::~IncomingFile()
{
    discard();
    qDeleteAll(m_pieces);
}

qint64 IncomingFile::freeSpace(const QString &folder)
{
    const QStorageInfo storage(folder);
    return storage.isValid() ? storage.bytesAvailable() : -1;
}

QString IncomingFile::spaceText() const
{
    const qint64 space = freeSpace(m_folder);
    return space < 0 ? QStringLiteral("free space unknown in %1").arg(m_folder)
                     : QStringLiteral("%1 bytes free in %2").arg(space).arg(m_folder);
}

bool IncomingFile::open(QString *error)
{
    if (m_folder.isEmpty())
        return true;
    const qint64 space = freeSpace(m_folder);
    if (space >= 0 && space < m_size) {
        *error = QStringLiteral("Not enough disk space for the file: %1 bytes, %2")
                     .arg(m_size)
                     .arg(spaceText());
        return false;
    }
    m_file.setFileName(m_finalPath + QStringLiteral(".part"));
    // Unbuffered: each chunk goes to the kernel as it arrives, not copied
    // once more on the way.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        *error = QStringLiteral("Cannot store the file: cannot create %1: %2")
                     .arg(m_file.fileName(), m_file.errorString());
        return false;
    }
    return true;
}

bool IncomingFile::write(const QByteArray &data, QString *error)
{
    if (data.isEmpty())
        return true;
    if (m_folder.isEmpty()) {
        m_pieces.append(new QByteArray(data));
        m_received += data.size();
        return true;
    }
    // Written here, not through QFile: a short write of a full disk must
    // end in the error that explains it.
    for (int done = 0; done < data.size();) {
        const ssize_t n =
            ::write(m_file.handle(), data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // Taken first: looking up the free space may change errno.
            const QString reason = qt_error_string(n < 0 ? errno : ENOSPC);
            *error = QStringLiteral("Cannot store the file of %1 bytes after %2 of them: %3 (%4)")
                         .arg(m_size)
                         .arg(m_received + done)
                         .arg(reason, spaceText());
            discard();
            return false;
        }
        done += int(n);
    }
    m_received += data.size();
    if (m_received - m_flushed >= WriteBackStep) {
        ::sync_file_range(m_file.handle(), m_flushed, m_received - m_flushed,
                          SYNC_FILE_RANGE_WRITE);
        m_flushed = m_received;
    }
    return true;
}

bool IncomingFile::finish(QString *error)
{
    if (m_folder.isEmpty())
        return true;
    if (!m_file.isOpen()) {
        *error = QStringLiteral("Cannot store the file: it was not received");
        return false;
    }
    const QString temporary = m_file.fileName();
    // The content is on disk before its name says it is complete, and the
    // name before the caller records it.
    if (::fsync(m_file.handle()) != 0) {
        const QString reason = qt_error_string(errno);
        *error = QStringLiteral("Cannot store the file of %1 bytes: %2 (%3)")
                     .arg(m_size)
                     .arg(reason, spaceText());
        discard();
        return false;
    }
    m_file.close();
    if (::rename(QFile::encodeName(temporary).constData(),
                 QFile::encodeName(m_finalPath).constData()) != 0 ||
        !syncFolder(m_folder)) {
        *error = QStringLiteral("Cannot store the file as %1: %2")
                     .arg(m_finalPath, qt_error_string(errno));
        discard();
        QFile::remove(m_finalPath);
        return false;
    }
    // Stored: nothing is left to remove.
    m_file.setFileName(QString());
    return true;
}

QList<QByteArray *> IncomingFile::takePieces()
{
    QList<QByteArray *> pieces;
    pieces.swap(m_pieces);
    return pieces;
}

void IncomingFile::discard()
{
    if (m_file.fileName().isEmpty())
        return;
    m_file.close();
    m_file.remove();
    m_file.setFileName(QString());
}
