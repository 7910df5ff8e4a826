#include "FuzzEnvironment.h"

#include "ListTypes.h"

#include <QCoreApplication>
#include <QLoggingCategory>

// Read by AddressSanitizer before main() in the targets built with it;
// ASAN_OPTIONS still overrides it. The server's reads and Qt's string reader
// allocate blocks of a MiB or more, whose shadow memory is cleared when such a
// block is allocated and again when it is unmapped: by default through mmap,
// which on this kind of virtual machine costs a TLB flush across the cores
// each time. Clearing it with memset costs less and detects the same faults.
extern "C" const char *__asan_default_options()
{
    return "clear_shadow_mmap_threshold=1073741824";
}

void FuzzEnvironment::prepare(bool application)
{
    if (application) {
        static int argc = 1;
        static char name[] = "vds_fuzz";
        static char *argv[] = {name, nullptr};
        new QCoreApplication(argc, argv); // reachable as QCoreApplication::instance()
    }
    // Qt warns of every variant of an unknown type it reads: in the packages
    // target 5,000 lines a second, 40 MB of log in two minutes, written at a
    // twentieth of the target's time.
    QLoggingCategory::setFilterRules(QStringLiteral("veldata.*=false\ndefault.warning=false"));
    ListTypes::registerStreamOperators();
}
