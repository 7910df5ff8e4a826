#ifndef FILEPACKAGE_H
#define FILEPACKAGE_H

#include "DataPackage.h"

#include <QSharedPointer>

class FileDownload;

/// A whole file for one identifier (type code 10): its name, then its bytes
/// unframed up to the end of the payload. The content stays a list of
/// separately allocated pieces of at most 64 KiB, so a large file never sits
/// in one buffer: pieces go out with one write each and arrive as the
/// decoder's chunks, which this package takes over.
class FilePackage : public DataPackage
{
public:
    /// Takes ownership of `ident` and of the byte arrays in `chunks`.
    FilePackage(int packageId, IdentData *ident, const QString &fileName,
                const QList<QByteArray *> &chunks);
    ~FilePackage() override;

    void write(QIODevice *device, qint64 extraSize) const override;
    QString toString() const override;
    void read(QDataStream &in) override;
    /// Takes over the received chunks (the list is left empty).
    void setChunks(QList<QByteArray *> &chunks) override;

    /// Writes the content to `directory`/fileName, through an existing file
    /// there (a regular file is truncated; a device or a FIFO with a reader
    /// is written to). Refuses names that could leave the directory ("", ".",
    /// "..", absolute, containing '/', '\\' or NUL), existing symbolic links
    /// and a FIFO nobody reads: returns false and writes nothing. A failed
    /// write (a full disk or device) returns false too. On failure `error`,
    /// if given, says why.
    /// A package whose content went to disk as it arrived (setDownload)
    /// moves it to the destination chosen then instead, under the same
    /// refusals.
    bool save(const QString &directory, QString *error = nullptr) const;
    /// The content is held by `download` rather than in chunks.
    void setDownload(const QSharedPointer<FileDownload> &download) { m_download = download; }
    /// Whether `name` stays inside the directory a file is saved into.
    static bool isSafeName(const QString &name);

    const QString &fileName() const { return m_fileName; }
    const QList<QByteArray *> &chunks() const { return m_chunks; }
    qint64 contentSize() const;

private:
    QString m_fileName;
    QList<QByteArray *> m_chunks;
    QSharedPointer<FileDownload> m_download;
};

#endif // FILEPACKAGE_H
