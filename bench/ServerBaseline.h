#ifndef SERVERBASELINE_H
#define SERVERBASELINE_H

#include "PlainSocket.h"
#include "Samples.h"

#include <QByteArray>

/// The server's own cost for a request: a plain blocking socket (no Qt, no
/// threads) writes a ready-made frame to the running VelDataServer and reads
/// its one answer frame. The same frames the library sends, written once with
/// the wire code.
class ServerBaseline
{
public:
    explicit ServerBaseline(int port);

    bool isConnected() const { return m_socket.isValid(); }
    /// Sends `frame` and reads its answer, `maxCalls` times or for `maxMs`;
    /// `answerBytes` receives the size of the last answer frame.
    Samples roundTrips(const QByteArray &frame, int maxCalls, int maxMs, int *answerBytes);

private:
    PlainSocket m_socket;
};

#endif // SERVERBASELINE_H
