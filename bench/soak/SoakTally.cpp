#include "SoakTally.h"

#include <QStringList>

void SoakTally::fail(const QString &lastError)
{
    ++m_failures[kindOf(lastError)];
}

void SoakTally::checked(Outcome outcome)
{
    ++m_checked;
    if (outcome == Lost)
        ++m_lost;
    else if (outcome == WrongRead)
        ++m_wrongReads;
}

void SoakTally::add(const SoakTally &other)
{
    m_calls += other.m_calls;
    m_checked += other.m_checked;
    m_lost += other.m_lost;
    m_wrongReads += other.m_wrongReads;
    for (auto it = other.m_failures.cbegin(); it != other.m_failures.cend(); ++it)
        m_failures[it.key()] += it.value();
}

QString SoakTally::line() const
{
    QStringList failures;
    for (auto it = m_failures.cbegin(); it != m_failures.cend(); ++it)
        failures << QStringLiteral("%1:%2").arg(it.key()).arg(it.value());
    return QStringLiteral("calls=%1 checked=%2 lost=%3 wrong=%4 failures=%5")
        .arg(m_calls)
        .arg(m_checked)
        .arg(m_lost)
        .arg(m_wrongReads)
        .arg(failures.join(QLatin1Char(',')));
}

QString SoakTally::kindOf(const QString &lastError)
{
    const QString text = lastError.toLower();
    if (text == QLatin1String("stale globals read"))
        return QStringLiteral("stale-globals-read");
    if (text == QLatin1String("read emptied by lost connection"))
        return QStringLiteral("read-emptied-by-disconnect");
    if (text.contains(QLatin1String("timeout")))
        return QStringLiteral("timeout");
    if (text.contains(QLatin1String("not allowed to start")))
        return QStringLiteral("server-down");
    if (text.contains(QLatin1String("connect")) || text.contains(QLatin1String("refused")))
        return QStringLiteral("no-connection");
    if (text.contains(QLatin1String("closed")) || text.contains(QLatin1String("reset")))
        return QStringLiteral("connection-lost");
    if (text.isEmpty())
        return QStringLiteral("unexplained");
    return QStringLiteral("other");
}
