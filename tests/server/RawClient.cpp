#include "RawClient.h"

#include "ActionPackage.h"
#include "IdentDataRuntime.h"
#include "ResponsePackage.h"

#include <QDeadlineTimer>

RawClient::RawClient()
{
    connect(&m_socket, &QIODevice::readyRead, this, &RawClient::readIncoming);
    connect(&m_decoder, &HeaderDecoder::dataProcessed, this,
            [this](const BasicPackagePtr &package) { m_received.append(package); });
}

bool RawClient::connectTo(quint16 port, const QHostAddress &address, bool tls)
{
    if (!tls) {
        m_socket.connectToHost(address, port);
        return m_socket.waitForConnected(WaitMs);
    }
    m_socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_socket.connectToHostEncrypted(address.toString(), port);
    return m_socket.waitForEncrypted(WaitMs);
}

BasicPackagePtr RawClient::next()
{
    const QDeadlineTimer deadline(WaitMs);
    while (m_received.isEmpty() && !deadline.hasExpired()) {
        if (!m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        readIncoming();
    }
    return m_received.isEmpty() ? BasicPackagePtr() : m_received.takeFirst();
}

bool RawClient::isQuiet()
{
    send(ActionPackage(ProbeId, new IdentDataRuntime(QStringLiteral("quiet-probe"), QString()),
                       ActionPackage::Get));
    const BasicPackagePtr answer = next();
    const auto response = answer.dynamicCast<ResponsePackage>();
    return response && response->packageId() == ProbeId &&
           response->responseCode() == ResponsePackage::NotFound;
}
