#ifndef FILEDOWNLOAD_H
#define FILEDOWNLOAD_H

#include "BasicPackage.h"

#include <QEnableSharedFromThis>
#include <QList>
#include <QString>

class FilePackage;

/// One file frame received for a request that names the folder to save it
/// in, written to disk as its pieces arrive, so that a file of any size costs
/// the client one piece of memory. The content goes to a hidden file of its
/// own in that folder; saving the package renames it over the file name the
/// frame carries, so a transfer cut short never leaves half a file under that
/// name and never harms a file already there. Whatever is not renamed is
/// removed with the last reference to the download.
///
/// Where the content cannot wait beside its destination (no folder given, a
/// FIFO or a device at the destination, or no such files on this system),
/// the frame is collected in memory as any other and saved as before.
class FileDownload : public QEnableSharedFromThis<FileDownload>
{
public:
    FileDownload(int packageId, const QString &directory);
    ~FileDownload();
    FileDownload(const FileDownload &) = delete;
    FileDownload &operator=(const FileDownload &) = delete;

    /// The next piece of the frame's payload, in order.
    void append(const QByteArray &chunk);
    /// The received package, to be called once after the last piece.
    BasicPackagePtr finish();
    /// Moves the content to its destination; false, with `error` set, when
    /// that fails or the content could not be written.
    bool save(QString *error);

private:
    void start(const QByteArray &first);
    void fail(const QString &error);
    void discard();

    const int m_packageId;
    const QString m_directory;
    QSharedPointer<FilePackage> m_head;
    // Collected frames only: the payload as it arrived.
    QList<QByteArray *> m_chunks;
    bool m_collect = false;
    int m_fd = -1;
    QString m_staged;
    QString m_target;
    QString m_error;
};

#endif // FILEDOWNLOAD_H
