#ifndef SOAKTALLY_H
#define SOAKTALLY_H

#include <QMap>
#include <QString>

/// What a soak client counts: every call of the library made, every call that
/// failed (by the kind of its failure), every value read and compared with what
/// was acknowledged before, every value lost (one whose acknowledged set or
/// removal later reads differently, again and again), and every wrong read
/// (a read that said otherwise once, while the value was there all along).
class SoakTally
{
public:
    enum Outcome
    {
        Kept,
        Lost,
        WrongRead,
    };

    void call() { ++m_calls; }
    void fail(const QString &lastError);
    void checked(Outcome outcome);

    void add(const SoakTally &other);
    /// One line: "calls=N checked=N lost=N wrong=N failures=kind:N,kind:N".
    QString line() const;

    /// The kind of a failure, from the text of lastError().
    static QString kindOf(const QString &lastError);

private:
    qint64 m_calls = 0;
    qint64 m_checked = 0;
    qint64 m_lost = 0;
    qint64 m_wrongReads = 0;
    QMap<QString, qint64> m_failures;
};

#endif // SOAKTALLY_H
