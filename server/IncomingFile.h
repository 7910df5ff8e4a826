#ifndef INCOMINGFILE_H
#define INCOMINGFILE_H

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

/// A file's content as it arrives, before it is stored: written to a
/// temporary file of the files folder, or kept in pieces for a server without
/// a data folder. Only finish() gives it its final name; until then, and if
/// it is dropped unfinished, no reader can see it, and the temporary file is
/// removed when this object goes.
class IncomingFile
{
public:
    /// Receives the `size` bytes of file `id` into `folder`, under a
    /// temporary name next to pathOf(`folder`, `id`); an empty `folder`
    /// receives into memory.
    IncomingFile(qint64 id, const QString &folder, qint64 size);
    ~IncomingFile();
    IncomingFile(const IncomingFile &) = delete;
    IncomingFile &operator=(const IncomingFile &) = delete;

    /// Creates the temporary file after checking that the file fits in the
    /// free space of its folder.
    bool open(QString *error);
    /// Appends `data`; false with `error` naming the sizes and the free space
    /// when it cannot be written (the temporary file is then removed).
    bool write(const QByteArray &data, QString *error);
    qint64 id() const { return m_id; }
    qint64 received() const { return m_received; }

    /// Makes the content durable under its final name: synchronised, renamed,
    /// and the rename synchronised in the folder.
    bool finish(QString *error);
    /// The content received into memory, handed over.
    QList<QByteArray *> takePieces();

    /// Where file `id` is stored in `folder`.
    static QString pathOf(const QString &folder, qint64 id);
    /// Free bytes of the file system holding `folder`, -1 if unknown.
    static qint64 freeSpace(const QString &folder);

private:
    void discard();
    QString spaceText() const;

    QString m_folder;
    QString m_finalPath;
    QFile m_file;
    QList<QByteArray *> m_pieces;
    qint64 m_id = 0;
    qint64 m_size = 0;
    qint64 m_received = 0;
    // Bytes handed to the kernel's write-back so far.
    qint64 m_flushed = 0;
};

#endif // INCOMINGFILE_H
