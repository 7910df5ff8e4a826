#ifndef VDSCTL_H
#define VDSCTL_H

#include "CommandLine.h"

#include <QStringList>

class ClientSession;

/// The vdsctl program: parses the command line, runs the command against the
/// local VelDataServer and returns the exit code.
class Vdsctl
{
public:
    int run(const QStringList &arguments);

private:
    int set(ClientSession &session);
    int get(ClientSession &session);
    int type(ClientSession &session);
    int remove(ClientSession &session);
    int watch(ClientSession &session);
    int command(ClientSession &session);
    int status(ClientSession &session);
    int putFile(ClientSession &session);
    int getFile(ClientSession &session);
    int finish(const ClientSession &session, int exitCode) const;
    int fail(int exitCode, const QString &text) const;

    CommandLine::Request m_request;
    Output m_output;
};

#endif // VDSCTL_H
