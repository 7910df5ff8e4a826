#ifndef VERDICTS_H
#define VERDICTS_H

#include "BenchTable.h"

#include <QJsonArray>
#include <QString>

/// Whether each target of the benchmarks is met: the closing table of the
/// report and its JSON.
class Verdicts
{
public:
    Verdicts();

    void add(const QString &target, const QString &measured, bool met);

    const BenchTable &table() const { return m_table; }
    const QJsonArray &json() const { return m_json; }

private:
    BenchTable m_table;
    QJsonArray m_json;
};

#endif // VERDICTS_H
