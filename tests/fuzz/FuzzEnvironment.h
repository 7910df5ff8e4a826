#ifndef FUZZENVIRONMENT_H
#define FUZZENVIRONMENT_H

/// What every fuzz target sets up once, before its first input.
class FuzzEnvironment
{
public:
    /// Silences the library's and the server's diagnostics and Qt's plain
    /// warnings, which hostile input provokes by the thousand (critical and
    /// fatal messages still show; QT_LOGGING_RULES overrides it), and
    /// registers the list types that travel inside variants. With
    /// `application`, also creates the QCoreApplication that sockets and the
    /// event loop need; it lives as long as the process.
    static void prepare(bool application);
};

#endif // FUZZENVIRONMENT_H
