#ifndef BENCHRUN_H
#define BENCHRUN_H

#include "BenchOptions.h"
#include "BenchTable.h"
#include "Samples.h"
#include "VelDataClient.h"
#include "Verdicts.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QString>

/// One run of the benchmarks: every section the options ask for, each
/// printed as a table when it is done, then the targets and, on request, the
/// JSON of everything.
class BenchRun
{
public:
    explicit BenchRun(const BenchOptions &options);

    /// The process exit code: 0 when the run completed (whatever the verdicts).
    int run();

private:
    void runRedis();
    void runApi();
    /// Adds the verdicts of one server mode's side-by-side figures.
    void judge(bool durable, const Samples &rawSet, const QJsonObject &setInt,
               const QJsonObject &getInt, double redisSet, double redisGet);
    void runCallers();
    void runCpu();
    void runFiles();
    void runDecoder();
    void runCosts();

    const BenchOptions &m_options;
    VelDataClient m_client;
    QJsonObject m_json;
    Verdicts m_verdicts;
    /// The durable server's resident memory before any section ran, in MiB.
    double m_serverIdleMiB = 0;
    /// Redis SET and GET, measured first so that every later table can set
    /// our figures next to them; empty with the reason when not measured.
    Samples m_redisSet;
    Samples m_redisGet;
    QString m_redisMissing;
    /// The figures the targets are judged by, gathered from every section and
    /// printed together before the targets.
    BenchTable m_headline;
    QJsonArray m_headlineJson;
    void addHeadline(const QString &figure, const QString &measured, double toRedis, double toRaw,
                     const QString &note = QString());
};

#endif // BENCHRUN_H
