#ifndef EXITCODE_H
#define EXITCODE_H

/// vdsctl's exit codes; scripts branch on them, so they never change meaning.
enum ExitCode
{
    ExitOk = 0,
    ExitFailed = 1,      ///< the value does not exist, or the server answered with an error
    ExitUsage = 2,       ///< the command line is wrong
    ExitUnreachable = 3, ///< the server cannot be reached (nor started), or the connection was lost
    ExitTimeout = 4,     ///< no answer in time, or a watch ended before its count
};

#endif // EXITCODE_H
