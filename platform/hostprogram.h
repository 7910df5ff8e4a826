#ifndef HOSTPROGRAM_H
#define HOSTPROGRAM_H

#include <QString>

/// Absolute path of the running program's executable, also without a
/// QCoreApplication: the ANSI module file name on Windows, the target of
/// /proc/self/exe on Linux. Empty when it cannot be told.
QString hostProgramPath();

/// Absolute path of the binary this code was linked into and loaded from:
/// the client library for an application, the program itself for one that
/// links this code statically. Empty when it cannot be told.
QString hostLibraryPath();

/// Whether the process `pid` has ended, a zombie not yet reaped included (a
/// detached child is reaped by whoever adopts it, maybe late). False when it
/// cannot be told.
bool processHasEnded(qint64 pid);

#endif // HOSTPROGRAM_H
