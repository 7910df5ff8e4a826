#ifndef FUZZCHECK_H
#define FUZZCHECK_H

#include <QString>

/// What the fuzz targets require of the code under test beyond not crashing.
/// A broken requirement is reported and ends the process with abort(), which
/// libFuzzer records as a crash with the input that caused it.
class FuzzCheck
{
public:
    static void require(bool condition, const char *what, const QString &detail = QString());
    /// The same with the detail made by `makeDetail()` only when the
    /// requirement is broken: a check that holds costs no text.
    template <typename MakeDetail>
    static void require(bool condition, const char *what, const MakeDetail &makeDetail)
    {
        if (!condition)
            fail(what, makeDetail());
    }
    [[noreturn]] static void fail(const char *what, const QString &detail);
};

#endif // FUZZCHECK_H
