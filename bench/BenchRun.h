#ifndef BENCHRUN_H
#define BENCHRUN_H

#include "BenchOptions.h"
#include "VelDataClient.h"
#include "Verdicts.h"

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
    void runApi();
    void runCallers();
    void runCpu();
    void runFiles();
    void runDecoder();
    void runCosts();

    const BenchOptions &m_options;
    VelDataClient m_client;
    QJsonObject m_json;
    Verdicts m_verdicts;
};

#endif // BENCHRUN_H
