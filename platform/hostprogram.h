#ifndef HOSTPROGRAM_H
#define HOSTPROGRAM_H

#include <QString>

/// Absolute path of the running program's executable, also without a
/// QCoreApplication: the ANSI module file name on Windows, the target of
/// /proc/self/exe on Linux. Empty when it cannot be told.
QString hostProgramPath();

#endif // HOSTPROGRAM_H
