#include "FuzzCheck.h"

#include <cstdio>
#include <cstdlib>

void FuzzCheck::fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "fuzz requirement broken: %s %s\n", what, qPrintable(detail));
    std::fflush(stderr);
    std::abort();
}
