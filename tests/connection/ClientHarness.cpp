#include "ClientHarness.h"

#include <QTest>

ClientHarness::ClientHarness(const QString &host, int port) : m_client(new PreProcessor(host, port))
{
    m_client->moveToThread(&m_thread);
    connect(m_client, &PreProcessor::dataFinished, this,
            [this](int id, int code) { m_finished.append(qMakePair(id, code)); });
    connect(m_client, &PreProcessor::autoUpdateReceived, this,
            [this](const Identifier &ident) { m_autoUpdates.append(ident); });
    m_thread.start();
}

ClientHarness::~ClientHarness()
{
    PreProcessor *client = m_client;
    QMetaObject::invokeMethod(
        client, [client] { delete client; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void ClientHarness::post(std::function<void(PreProcessor &)> work)
{
    PreProcessor *client = m_client;
    QMetaObject::invokeMethod(
        client, [client, work] { work(*client); }, Qt::QueuedConnection);
}

int ClientHarness::waitFinished(int id, int timeoutMs)
{
    return QTest::qWaitFor([this, id] { return !finished(id).isEmpty(); }, timeoutMs)
               ? finished(id).first()
               : 0;
}

QList<int> ClientHarness::finished(int id) const
{
    QList<int> codes;
    for (const auto &entry : m_finished) {
        if (entry.first == id)
            codes.append(entry.second);
    }
    return codes;
}
