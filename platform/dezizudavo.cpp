#include "dezizudavo.h"

#include "hostprogram.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

} // namespace

QString Dezizudavo_locateProgram(const QString &fileName, const QString &ownFolder,
                                 const QString &installFolder)
{
    if (!ownFolder.isEmpty()) {
        const QFileInfo beside(QDir(ownFolder), fileName);
        if (beside.isFile() && beside.isExecutable())
            return beside.absoluteFilePath();
    }
    return QFileInfo(QDir(installFolder), fileName).absoluteFilePath();
}

std::string Dezizudavo_getAbsolutPath(int category, const std::string &baseName,
                                      const std::string &extension)
{
    const QString fileName = programFileName(baseName, extension);
    const QString host = hostProgramPath();
    const QString ownFolder = host.isEmpty() ? QString() : QFileInfo(host).absolutePath();
    const QString path =
        category == DEZIZUDAVO_SERVER_PROGRAM
            ? Dezizudavo_locateProgram(fileName, ownFolder, QStringLiteral(VDS_INSTALL_BINDIR))
            : QFileInfo(QDir(ownFolder), fileName).absoluteFilePath();
    return QFile::encodeName(QDir::toNativeSeparators(path)).toStdString();
}
