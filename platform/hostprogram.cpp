#include "hostprogram.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <dlfcn.h>
#endif

namespace {

// Any object of this file serves to ask which loaded binary holds it.
const char locationAnchor = 0;

} // namespace

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

QString hostLibraryPath()
{
#ifdef Q_OS_WIN
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            &locationAnchor, &module))
        return QString();
    char buffer[260] = {};
    const DWORD length = GetModuleFileNameA(module, buffer, 260);
    return QString::fromLocal8Bit(buffer, int(length));
#else
    Dl_info info = {};
    if (::dladdr(&locationAnchor, &info) == 0 || !info.dli_fname)
        return QString();
    // For code inside the program itself the loader answers with argv[0],
    // which may be relative to a folder left long ago.
    const QString path = QFile::decodeName(info.dli_fname);
    return QDir::isAbsolutePath(path) ? QDir::cleanPath(path) : QString();
#endif
}

bool processHasEnded(qint64 pid)
{
    if (pid <= 0)
        return false;
#ifdef Q_OS_WIN
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
#else
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        // "pid (name) state ...": the name may hold blanks and parentheses.
        const QByteArray line = stat.readAll();
        const int nameEnd = line.lastIndexOf(')');
        return nameEnd >= 0 && line.mid(nameEnd + 2, 1) == "Z";
    }
    return ::kill(pid_t(pid), 0) == -1 && errno == ESRCH;
#endif
}
