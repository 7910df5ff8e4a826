#ifndef SOAKWORKER_H
#define SOAKWORKER_H

#include "SoakTally.h"

#include <QDeadlineTimer>
#include <QList>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

class VelDataClient;

/// One thread of a soak client: with a VelDataClient of its own it sets, reads
/// and removes values on keys of its own until the deadline, in random order:
/// runtime ints, strings, double lists and variants, globals ints and a file.
/// For every key it keeps what a read may give: after an acknowledged set only
/// that value, after a failed one also the value before (the server may or may
/// not have stored it). A read that gives anything else is a value lost, or a
/// wrong read when reading once more gives the acknowledged value. After
/// the deadline every key is read once more, retried while the server cannot
/// be reached.
class SoakWorker
{
public:
    /// `name` tells this worker's keys apart from every other's; its files
    /// live below `folder`/`name`.
    SoakWorker(const QString &name, quint32 seed, const QString &folder,
               const QDeadlineTimer &deadline);

    void run();
    const SoakTally &tally() const { return m_tally; }

private:
    enum class Kind
    {
        Int,
        String,
        DoubleList,
        Variant,
        Globals,
        File,
    };
    struct Key
    {
        Kind kind;
        QString key;
        QStringList possible; // canonical forms of what a read may give
        QString since;        // when `possible` last changed, for the report of a loss
    };

    void step();
    void set(Key &key);
    void remove(Key &key);
    /// Reads `key` and compares; false when the call failed.
    bool check(Key &key);
    /// Stores value number `n` under `key`, its canonical form in `canonical`.
    bool write(const Key &key, int n, QString *canonical);
    /// 1 and the canonical form of the value read, 0 for none, -1 on failure.
    int read(const Key &key, QString *canonical);
    /// Counts and reports a read of `key` that gave `observed` against what
    /// was acknowledged: a loss when reading again still disagrees, a wrong
    /// read when the value is there after all. Returns what the key holds.
    QString judgeContradiction(const Key &key, const QString &observed);
    /// Reads `key` into `observed` (Absent for none); false when it failed.
    bool readOnce(const Key &key, QString *observed);
    /// Counts the failed call `what` on `key` by its kind, and pauses.
    void failed(const char *what, const Key &key);
    void verifyAll();
    QString sendPath() const;
    QString receiveDir() const;

    const QString m_name;
    const QString m_folder;
    const QDeadlineTimer m_deadline;
    QRandomGenerator m_random;
    VelDataClient *m_client = nullptr;
    QList<Key> m_keys;
    SoakTally m_tally;
    int m_next = 1;
};

#endif // SOAKWORKER_H
