// vdsctl: reads, changes and watches VelDataServer values from a shell.

#include "Vdsctl.h"

#include <QCoreApplication>
#include <QLoggingCategory>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vdsctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VDS_VERSION));
    // The library's diagnostics would repeat on standard error what vdsctl
    // reports in its one error line. ZTRACE_LEVEL or QT_LOGGING_RULES, both
    // stronger than this rule, bring them back.
    QLoggingCategory::setFilterRules(QStringLiteral("veldata.client=false"));
    return Vdsctl().run(QCoreApplication::arguments());
}
