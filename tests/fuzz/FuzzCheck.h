#ifndef FUZZCHECK_H
#define FUZZCHECK_H

#include <QString>

#include <type_traits>

/// What the fuzz targets require of the code under test beyond not crashing.
/// A broken requirement is reported and ends the process with abort(), which
/// libFuzzer records as a crash with the input that caused it.
class FuzzCheck
{
public:
    /// `detail` is a text, or a function that makes it, called only when the
    /// requirement is broken: a check that holds costs no text.
    template <typename Detail = QString>
    static void require(bool condition, const char *what, const Detail &detail = {})
    {
        if (!condition) {
            if constexpr (std::is_invocable_v<Detail>)
                fail(what, detail());
            else
                fail(what, detail);
        }
    }
    [[noreturn]] static void fail(const char *what, const QString &detail);
};

#endif // FUZZCHECK_H
