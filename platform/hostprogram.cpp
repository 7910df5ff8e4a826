#include "hostprogram.h"

#include <QCoreApplication>
#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

QString hostProgramPath()
{
#ifdef Q_OS_WIN
    char buffer[260] = {};
    const DWORD length = GetModuleFileNameA(nullptr, buffer, 260);
    return QString::fromLocal8Bit(buffer, int(length));
#else
    const QString target = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    if (!target.isEmpty())
        return target;
    // No /proc (other Unix systems): Qt knows it once an application exists.
    return QCoreApplication::instance() ? QCoreApplication::applicationFilePath() : QString();
#endif
}
