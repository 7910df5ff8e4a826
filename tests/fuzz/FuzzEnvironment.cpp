#include "FuzzEnvironment.h"

#include "ListTypes.h"

#include <QCoreApplication>
#include <QLoggingCategory>

void FuzzEnvironment::prepare(bool application)
{
    if (application) {
        static int argc = 1;
        static char name[] = "vds_fuzz";
        static char *argv[] = {name, nullptr};
        static QCoreApplication *const app = new QCoreApplication(argc, argv);
        (void)app;
    }
    QLoggingCategory::setFilterRules(QStringLiteral("veldata.*=false"));
    ListTypes::registerStreamOperators();
}
