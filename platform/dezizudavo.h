#ifndef DEZIZUDAVO_H
#define DEZIZUDAVO_H

#include <QString>

#include <string>

/// Category of Dezizudavo_getAbsolutPath that names the server program.
constexpr int DEZIZUDAVO_SERVER_PROGRAM = 4;

/// Absolute path of a program file, as 8-bit text in the local encoding.
/// `baseName` + `extension` is the file name; the extension ".exe" counts only
/// on Windows and is dropped elsewhere. Category 4 looks first beside the
/// running executable, then in the installation's program folder, and names
/// the first that holds the program, or the installed path when neither does.
/// Any other category names the file beside the running executable.
std::string Dezizudavo_getAbsolutPath(int category, const std::string &baseName,
                                      const std::string &extension);

/// The choice behind category 4: `fileName` in `ownFolder` when an executable
/// file of that name stands there, otherwise in `installFolder`.
QString Dezizudavo_locateProgram(const QString &fileName, const QString &ownFolder,
                                 const QString &installFolder);

#endif // DEZIZUDAVO_H
