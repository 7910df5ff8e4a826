#ifndef DEZIZUDAVO_H
#define DEZIZUDAVO_H

#include <QString>
#include <QStringList>

#include <string>

/// Category of Dezizudavo_getAbsolutPath that names the server program.
constexpr int DEZIZUDAVO_SERVER_PROGRAM = 4;

/// Absolute path of a program file, as 8-bit text in the local encoding.
/// `baseName` + `extension` is the file name; the extension ".exe" counts only
/// on Windows and is dropped elsewhere. Category 4 names the first program of
/// that name in Dezizudavo_programFolders() or else on PATH, and is empty
/// when there is none. Any other category names the file beside the running
/// executable.
std::string Dezizudavo_getAbsolutPath(int category, const std::string &baseName,
                                      const std::string &extension);

/// Where the server program is looked for before PATH, in this order: the
/// running program's folder, the program folder of the installation that
/// holds the client library (found from where the library itself was loaded,
/// so any installation prefix works), and the program folder the build was
/// configured to install to. Each folder once.
QStringList Dezizudavo_programFolders();

/// `fileName` in the first of `folders` where an executable file of that name
/// stands, otherwise as found on `searchPath` (the folders of PATH when
/// empty); empty when it is nowhere.
QString Dezizudavo_locateProgram(const QString &fileName, const QStringList &folders,
                                 const QStringList &searchPath = QStringList());

#endif // DEZIZUDAVO_H
