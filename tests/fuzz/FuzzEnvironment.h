#ifndef FUZZENVIRONMENT_H
#define FUZZENVIRONMENT_H

/// What every fuzz target sets up once, before its first input.
class FuzzEnvironment
{
public:
    /// Silences the library's and the server's diagnostics, which hostile
    /// input provokes by the thousand, and registers the list types that
    /// travel inside variants. With `application`, also creates the
    /// QCoreApplication that sockets and the event loop need; it lives as
    /// long as the process.
    static void prepare(bool application);
};

#endif // FUZZENVIRONMENT_H
