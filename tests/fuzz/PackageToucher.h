#ifndef PACKAGETOUCHER_H
#define PACKAGETOUCHER_H

#include "BasicPackage.h"

#include <QTemporaryDir>

#include <dirent.h>

/// Uses every part of a received package the way the library, the server and
/// their callers may: its text form, value and identifier; it writes the
/// package again (which reads every typed field) and checks the frame; and it
/// saves a file
/// package into a folder of its own, checking that nothing lands anywhere
/// else. A broken requirement aborts (FuzzCheck).
class PackageToucher
{
public:
    PackageToucher();
    ~PackageToucher();
    PackageToucher(const PackageToucher &) = delete;
    PackageToucher &operator=(const PackageToucher &) = delete;

    /// `frame`, when given, is what `package` writes (FrameBytes::encode), already known
    /// to the caller.
    void touch(const BasicPackagePtr &package, const QByteArray &frame = QByteArray());
    /// Requires that writing `package` again and reading what was written
    /// gives the same bytes once more (a variant may settle once first): what
    /// a package reads, it can send on. `frame` as for touch().
    static void requireStableFrame(const BasicPackage &package,
                                   const QByteArray &frame = QByteArray());
    /// The folder received files are saved into; empty after every check.
    QString targetDir() const;
    /// Requires that the save of `fileName` into targetDir() that returned
    /// `saved` wrote that one file (or nothing), and nothing else anywhere
    /// in the folder around it; then empties targetDir() again.
    void requireSavedOnlyInside(bool saved, const QString &fileName, qint64 size);

private:
    static void touchFields(const BasicPackage &package);

    QTemporaryDir m_root;
    // The target folder's path, made once: every check of every input of the
    // client target used it twice, as text and in the file system's encoding.
    QString m_targetDir;
    QByteArray m_targetPath;
    // Kept open for the process: rewinddir() reads a folder as it is now,
    // without the buffer opendir() allocates for every listing.
    DIR *m_rootListing = nullptr;
    DIR *m_targetListing = nullptr;
};

#endif // PACKAGETOUCHER_H
