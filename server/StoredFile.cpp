#include "StoredFile.h"

#include <cerrno>
#include <unistd.h>

StoredFile *StoredFile::open(const QString &path, QString *error)
{
    auto *file = new StoredFile;
    file->m_file.setFileName(path);
    // Unbuffered: every read goes straight into the caller's buffer.
    if (!file->m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot open the stored file %1: %2")
                     .arg(path, file->m_file.errorString());
        delete file;
        return nullptr;
    }
    file->m_size = file->m_file.size();
    return file;
}

StoredFile::StoredFile(const QList<QByteArray *> &pieces)
    : m_pieces(pieces), m_memory(new ChunkDevice(pieces))
{
    m_memory->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    m_size = m_memory->size();
}

StoredFile::~StoredFile()
{
    delete m_memory;
    qDeleteAll(m_pieces);
}

bool StoredFile::read(qint64 offset, qint64 maxSize, QByteArray *data, QString *error)
{
    const qint64 length = qBound<qint64>(0, m_size - offset, maxSize);
    data->resize(int(length));
    qint64 done = 0;
    if (m_memory) {
        done = m_memory->seek(offset) ? m_memory->read(data->data(), length) : -1;
    } else {
        // pread keeps no position: transfers of one file share its handle.
        while (done < length) {
            const ssize_t n = ::pread(m_file.handle(), data->data() + done, size_t(length - done),
                                      off_t(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += n;
        }
    }
    if (done == length)
        return true;
    *error = QStringLiteral("cannot read %1 bytes at %2 of the stored file %3 (%4 bytes)")
                 .arg(length)
                 .arg(offset)
                 .arg(m_memory ? QStringLiteral("in memory") : m_file.fileName())
                 .arg(m_size);
    return false;
}
