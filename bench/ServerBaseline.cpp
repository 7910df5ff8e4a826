#include "ServerBaseline.h"

ServerBaseline::ServerBaseline(int port) : m_socket(PlainSocket::connectTo(port)) {}

Samples ServerBaseline::roundTrips(const QByteArray &frame, int maxCalls, int maxMs,
                                   int *answerBytes)
{
    QByteArray answer;
    Samples samples = Samples::run(
        maxCalls, maxMs, [&] { return m_socket.sendAll(frame) && m_socket.receiveFrame(&answer); });
    if (answerBytes)
        *answerBytes = answer.size();
    return samples;
}
