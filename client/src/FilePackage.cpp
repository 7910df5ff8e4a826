#include "FilePackage.h"

#include "FileDownload.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

FilePackage::FilePackage(int packageId, IdentData *ident, const QString &fileName,
                         const QList<QByteArray *> &chunks)
    : DataPackage(File, packageId, ident), m_fileName(fileName), m_chunks(chunks)
{}

FilePackage::~FilePackage()
{
    qDeleteAll(m_chunks);
}

qint64 FilePackage::contentSize() const
{
    qint64 size = 0;
    for (const QByteArray *chunk : m_chunks)
        size += chunk->size();
    return size;
}

void FilePackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray name = encode([this](QDataStream &out) { out << m_fileName; });
    DataPackage::write(device, name.size() + extraSize + contentSize());
    device->write(name);
    for (const QByteArray *chunk : m_chunks)
        device->write(*chunk);
}

QString FilePackage::toString() const
{
    qint64 size = contentSize();
    QString unit = QStringLiteral("Bytes");
    if (size > 1024) {
        size /= 1024;
        unit = QStringLiteral("KB");
    }
    if (size > 1024) {
        size /= 1024;
        unit = QStringLiteral("MB");
    }
    return QStringLiteral("Name: %1; Size: %2 %3").arg(m_fileName).arg(size).arg(unit);
}

void FilePackage::read(QDataStream &in)
{
    DataPackage::read(in);
    readText(in, m_fileName);
    if (!m_chunks.isEmpty()) {
        QByteArray *first = m_chunks.first();
        *first = first->mid(int(in.device()->pos()));
    }
}

void FilePackage::setChunks(QList<QByteArray *> &chunks)
{
    qDeleteAll(m_chunks);
    m_chunks = chunks;
    chunks.clear();
}

bool FilePackage::isSafeName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !QDir::isAbsolutePath(name) && !name.contains(QLatin1Char('/')) &&
           !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
}

bool FilePackage::save(const QString &directory, QString *error) const
{
    const auto fail = [error](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    if (!isSafeName(m_fileName))
        return fail(QStringLiteral("refused the file name \"%1\" the server sent").arg(m_fileName));
    if (m_download)
        return m_download->save(error);
    const QString path = directory + QLatin1Char('/') + m_fileName;
    const QString linkRefused =
        QStringLiteral("'%1' is a symbolic link, and a received file is not written through one")
            .arg(path);
    QFile file;
#ifdef Q_OS_WIN
    if (QFileInfo(path).isSymLink())
        return fail(linkRefused);
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(QStringLiteral("cannot open '%1': %2").arg(path, file.errorString()));
#else
    // An existing file is written through, never replaced: a regular file is
    // truncated, a device or FIFO takes the content as it would from cp.
    // O_NOFOLLOW refuses a symbolic link planted at the target before anything
    // is truncated, without the race of a separate check: the name comes from
    // the server, and a link could send the content anywhere. O_NONBLOCK makes
    // a FIFO that nobody reads fail at once instead of blocking the caller
    // for good; writes block again once it is open.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        const int code = errno;
        if (code == ELOOP)
            return fail(linkRefused);
        if (code == ENXIO)
            return fail(QStringLiteral("'%1' is a FIFO that nobody reads").arg(path));
        return fail(QStringLiteral("cannot open '%1': %2").arg(path, qt_error_string(code)));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return fail(QStringLiteral("cannot open '%1': %2").arg(path, file.errorString()));
    }
#endif
    for (const QByteArray *chunk : m_chunks) {
        if (file.write(*chunk) != chunk->size())
            return fail(QStringLiteral("cannot write '%1': %2").arg(path, file.errorString()));
    }
    if (!file.flush())
        return fail(QStringLiteral("cannot write '%1': %2").arg(path, file.errorString()));
    file.close();
    return true;
}
