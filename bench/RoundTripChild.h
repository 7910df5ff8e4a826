#ifndef ROUNDTRIPCHILD_H
#define ROUNDTRIPCHILD_H

#include <QJsonObject>
#include <QString>

/// setInt and getInt through the public API in a process of its own, so that
/// the process-wide choice of Qt's event dispatcher (glib, or the plain UNIX
/// one with QT_NO_GLIB=1) can be compared within one run.
class RoundTripChild
{
public:
    /// Runs the child with or without QT_NO_GLIB=1; its JSON, or an object
    /// with "error". A non-empty `home` is a folder with config/, tmp/ and
    /// data/ for the child to run with, so that it finds a server other than
    /// the one this process is set up for.
    static QJsonObject run(const QString &program, int port, int calls, int maxMs, bool noGlib,
                           const QString &home = QString());
    /// The child side; prints one JSON line, returns the exit code.
    static int child(int calls, int maxMs);
};

#endif // ROUNDTRIPCHILD_H
