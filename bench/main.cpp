// vds_bench: the client library's speed next to the machine's own limits, all
// measured in one run. scripts/bench builds it in Release, starts a server and
// runs it; see the README's Performance section.

#include "BenchOptions.h"
#include "BenchRun.h"
#include "FileBench.h"
#include "RoundTripChild.h"

#include <QCoreApplication>
#include <QLoggingCategory>

int main(int argc, char *argv[])
{
    // Every client object says "connection closed" as it goes; the benchmark
    // reports failures itself. QT_LOGGING_RULES or ZTRACE_LEVEL bring the
    // library's diagnostics back.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES") &&
        qEnvironmentVariableIsEmpty("ZTRACE_LEVEL"))
        QLoggingCategory::setFilterRules(QStringLiteral("veldata.client.warning=false"));
    QCoreApplication app(argc, argv);
    BenchOptions options;
    int exitCode = 0;
    if (!options.parse(QCoreApplication::arguments(), &exitCode))
        return exitCode;
    if (!options.fileChild.isEmpty())
        return FileBench::child(options.fileChild);
    if (!options.roundTripChild.isEmpty())
        return RoundTripChild::child(options.roundTripChild.value(0).toInt(),
                                     options.roundTripChild.value(1).toInt());
    BenchRun bench(options);
    return bench.run();
}
