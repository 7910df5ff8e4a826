#include "dezizudavo.h"

#include "hostprogram.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

QString programFileName(const std::string &baseName, const std::string &extension)
{
    QString suffix = QString::fromLocal8Bit(extension.data(), int(extension.size()));
#ifndef Q_OS_WIN
    if (suffix.compare(QLatin1String(".exe"), Qt::CaseInsensitive) == 0)
        suffix.clear();
#endif
    return QString::fromLocal8Bit(baseName.data(), int(baseName.size())) + suffix;
}

QString folderOf(const QString &file)
{
    return file.isEmpty() ? QString() : QFileInfo(file).absolutePath();
}

} // namespace

QStringList Dezizudavo_programFolders()
{
    QStringList folders;
    const auto add = [&folders](const QString &folder) {
        const QString clean = QDir::cleanPath(folder);
        if (!folder.isEmpty() && !folders.contains(clean))
            folders.append(clean);
    };
    const QString program = hostProgramPath();
    add(folderOf(program));
    // The library stands in the installation's library folder; the relative
    // way from there to its program folder was fixed when it was configured
    // ("../bin", or "../../bin" under a multiarch library folder). Code linked
    // into the program itself has no installation of its own.
    const QString library = hostLibraryPath();
    if (!library.isEmpty() && QFileInfo(library) != QFileInfo(program))
        add(folderOf(library) + QStringLiteral("/" VDS_LIBDIR_TO_BINDIR));
    add(QStringLiteral(VDS_INSTALL_BINDIR));
    return folders;
}

QString Dezizudavo_locateProgram(const QString &fileName, const QStringList &folders,
                                 const QStringList &searchPath)
{
    for (const QString &folder : folders) {
        const QFileInfo candidate(QDir(folder), fileName);
        if (candidate.isFile() && candidate.isExecutable())
            return candidate.absoluteFilePath();
    }
    return QStandardPaths::findExecutable(fileName, searchPath);
}

std::string Dezizudavo_getAbsolutPath(int category, const std::string &baseName,
                                      const std::string &extension)
{
    const QString fileName = programFileName(baseName, extension);
    const QString path =
        category == DEZIZUDAVO_SERVER_PROGRAM
            ? Dezizudavo_locateProgram(fileName, Dezizudavo_programFolders())
            : QFileInfo(QDir(folderOf(hostProgramPath())), fileName).absoluteFilePath();
    return QFile::encodeName(QDir::toNativeSeparators(path)).toStdString();
}
