#include "FileDownload.h"

#include "FilePackage.h"
#include "HeaderDecoder.h"

#include <QFile>
#include <QRandomGenerator>

#include <utility>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

FileDownload::FileDownload(int packageId, const QString &directory)
    : m_packageId(packageId), m_directory(directory)
{}

FileDownload::~FileDownload()
{
    discard();
    qDeleteAll(m_chunks);
}

void FileDownload::discard()
{
#ifndef Q_OS_WIN
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (!m_staged.isEmpty())
        ::unlink(QFile::encodeName(m_staged).constData());
    m_staged.clear();
#endif
}

void FileDownload::fail(const QString &error)
{
    discard();
    m_error = error;
}

void FileDownload::start(const QByteArray &first)
{
    // Identifier and name come first, within the first piece; the package
    // keeps what follows them, the start of the content.
    m_head = createPackage(BasicPackage::File, m_packageId, {new QByteArray(first)})
                 .staticCast<FilePackage>();
    if (!m_head->chunks().isEmpty())
        m_chunks.append(new QByteArray(*m_head->chunks().first()));
    QList<QByteArray *> none;
    m_head->setChunks(none);
    const QString name = m_head->fileName();
    m_collect = m_directory.isNull();
#ifdef Q_OS_WIN
    m_collect = true;
#else
    // A refused name is reported by the package when it is saved; its content
    // is never needed.
    if (m_collect || !FilePackage::isSafeName(name))
        return;
    m_target = m_directory + QLatin1Char('/') + name;
    // A FIFO or a device takes the content when the package is saved, as
    // before: they cannot be renamed over.
    struct stat status = {};
    if (::lstat(QFile::encodeName(m_target).constData(), &status) == 0 &&
        !S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
        m_collect = true;
        return;
    }
    // Created with the usual mode, which the umask then narrows as for any
    // new file; a name already taken is drawn again.
    for (int attempt = 0; attempt < 16 && m_fd < 0; ++attempt) {
        const QString staged = m_directory + QStringLiteral("/.vds-download-%1")
                                                 .arg(QRandomGenerator::global()->generate64(), 16,
                                                      16, QLatin1Char('0'));
        m_fd = ::open(QFile::encodeName(staged).constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (m_fd >= 0)
            m_staged = staged;
        else if (errno != EEXIST)
            break;
    }
    if (m_fd < 0) {
        fail(QStringLiteral("cannot open '%1': %2").arg(m_target, qt_error_string(errno)));
        return;
    }
    for (QByteArray *piece : qAsConst(m_chunks))
        append(*piece);
    qDeleteAll(m_chunks);
    m_chunks.clear();
#endif
}

void FileDownload::append(const QByteArray &chunk)
{
    if (!m_head) {
        start(chunk);
        return;
    }
    if (m_collect) {
        m_chunks.append(new QByteArray(chunk));
        return;
    }
#ifndef Q_OS_WIN
    const char *data = chunk.constData();
    qint64 left = chunk.size();
    while (m_fd >= 0 && left > 0) {
        const ssize_t written = ::write(m_fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            const int code = written < 0 ? errno : ENOSPC;
            fail(QStringLiteral("cannot write '%1': %2").arg(m_target, qt_error_string(code)));
            return;
        }
        data += written;
        left -= written;
    }
#endif
}

BasicPackagePtr FileDownload::finish()
{
    if (!m_head)
        append(QByteArray());
    // Handed out, not kept: the package holds this download, and a
    // reference back would keep both (and the hidden file) for good.
    const QSharedPointer<FilePackage> head = std::exchange(m_head, {});
    if (m_collect) {
        head->setChunks(m_chunks);
        return head;
    }
#ifndef Q_OS_WIN
    if (m_fd >= 0 && ::close(m_fd) != 0)
        fail(QStringLiteral("cannot write '%1': %2").arg(m_target, qt_error_string(errno)));
    m_fd = -1;
#endif
    if (!m_target.isEmpty())
        head->setDownload(sharedFromThis());
    return head;
}

bool FileDownload::save(QString *error)
{
    const auto failed = [this, error](const QString &text) {
        fail(text);
        if (error)
            *error = m_error;
        return false;
    };
    if (!m_error.isEmpty())
        return failed(m_error);
#ifndef Q_OS_WIN
    if (m_staged.isEmpty())
        return true;
    const QByteArray target = QFile::encodeName(m_target);
    struct stat status = {};
    if (::lstat(target.constData(), &status) == 0) {
        if (S_ISLNK(status.st_mode))
            return failed(QStringLiteral("'%1' is a symbolic link, and a received file is not "
                                         "written through one")
                              .arg(m_target));
        // Something that cannot be renamed over appeared meanwhile.
        if (!S_ISREG(status.st_mode))
            return failed(
                QStringLiteral("cannot open '%1': %2").arg(m_target, qt_error_string(EEXIST)));
        // Writing through it would have been refused; renaming over it must
        // not get round that.
        if (::access(target.constData(), W_OK) != 0)
            return failed(
                QStringLiteral("cannot open '%1': %2").arg(m_target, qt_error_string(errno)));
        // The file keeps its mode, as it would had it been written through.
        ::chmod(QFile::encodeName(m_staged).constData(), status.st_mode & 07777);
    }
    if (::rename(QFile::encodeName(m_staged).constData(), target.constData()) != 0)
        return failed(
            QStringLiteral("cannot write '%1': %2").arg(m_target, qt_error_string(errno)));
    m_staged.clear();
#endif
    return true;
}
