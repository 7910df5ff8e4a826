#ifndef STOREDFILE_H
#define STOREDFILE_H

#include "ChunkDevice.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

/// The content of one stored file, read at any offset: a file of the data
/// folder, held open, or pieces in memory for a server without one. A
/// transfer holds it for as long as it runs, so a file replaced or removed
/// meanwhile (its name already unlinked) is still sent whole.
class StoredFile
{
public:
    /// Opens the file at `path` for reading; null with `error` set if it
    /// cannot be.
    static StoredFile *open(const QString &path, QString *error);
    /// Takes ownership of `pieces`.
    explicit StoredFile(const QList<QByteArray *> &pieces);
    ~StoredFile();
    StoredFile(const StoredFile &) = delete;
    StoredFile &operator=(const StoredFile &) = delete;

    qint64 size() const { return m_size; }
    /// The open file's descriptor, or -1 for content held in memory.
    int handle() const { return m_memory ? -1 : m_file.handle(); }
    /// Up to `maxSize` bytes from `offset`; false with `error` set when the
    /// content cannot be read or ends early.
    bool read(qint64 offset, qint64 maxSize, QByteArray *data, QString *error);

private:
    StoredFile() = default;

    QFile m_file;
    QList<QByteArray *> m_pieces;
    ChunkDevice *m_memory = nullptr;
    qint64 m_size = 0;
};

#endif // STOREDFILE_H
