#ifndef ZTRACE_H
#define ZTRACE_H

#include <QLoggingCategory>

#include <cstddef>

/// The trace service is a thin adapter onto Qt's logging: every line goes out
/// through QMessageLogger in the category "veldata.client" (warnings on by
/// default), so QT_LOGGING_RULES, QT_MESSAGE_PATTERN and installed message
/// handlers control it like any other Qt output. Levels map to message types:
/// 1 is a warning, 2 to 4 are info, 5 and above are debug.
///
/// Two environment variables, read once per process, add to that:
/// ZTRACE_LEVEL=N lets levels up to N through whatever the filter rules say,
/// and ZTRACE_FILE=path appends every emitted line to that file as
/// "yyyy-MM-dd HH:mm:ss.zzz [level] file:line text".
///
/// A line is written in three calls from the same thread: the level test, the
/// location (kept thread-locally) and the text. ZTRACE(level, format, ...)
/// makes them in that order.
Q_DECLARE_LOGGING_CATEGORY(lcVelDataClient)

#if defined(__GNUC__) || defined(__clang__)
#define ZTRACE_PRINTF_FORMAT(formatIndex, firstArgument)                                           \
    __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define ZTRACE_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

/// Non-zero when lines of `level` are wanted at all.
int ZTrace_TestMasterLevel(int level);
/// Records where the following ZTrace_Always of this thread comes from; always
/// non-zero. `channel` is accepted for compatibility and not used.
int ZTrace_Location(const char *file, int line, const char *channel, int level);
/// Formats the text printf-style and emits it with the recorded location.
void ZTrace_Always(const char *format, ...) ZTRACE_PRINTF_FORMAT(1, 2);

namespace ztrace_detail {

constexpr bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}

/// Whether `word` stands in `path` at `pos`; either slash matches either slash.
constexpr bool matchesAt(const char *path, std::size_t pos, const char *word)
{
    for (std::size_t i = 0; word[i] != '\0'; ++i) {
        const char c = path[pos + i];
        if (c != word[i] && !(isSeparator(c) && isSeparator(word[i])))
            return false;
    }
    return true;
}

constexpr std::size_t length(const char *text)
{
    std::size_t n = 0;
    while (text[n] != '\0')
        ++n;
    return n;
}

/// Length of a top-level source folder name ending exactly before `end`, or 0.
constexpr std::size_t partEndingAt(const char *path, std::size_t end)
{
    constexpr const char *parts[] = {"client/", "platform/", "server/",
                                     "tools/",  "tests/",    "bench/"};
    for (const char *part : parts) {
        const std::size_t n = length(part);
        if (n <= end && (n == end || isSeparator(path[end - n - 1])) &&
            matchesAt(path, end - n, part))
            return n;
    }
    return 0;
}

/// Where the part of `path` below the source root begins: after the configured
/// root when the path starts with it, otherwise at the last top-level source
/// folder name (with the folder names directly in front of it, so that
/// tests/platform/... keeps its "tests/").
constexpr std::size_t tailStart(const char *path)
{
#ifdef ZTRACE_SOURCE_ROOT
    if (matchesAt(path, 0, ZTRACE_SOURCE_ROOT))
        return length(ZTRACE_SOURCE_ROOT);
#endif
    std::size_t start = 0;
    for (std::size_t end = 1; path[end - 1] != '\0'; ++end) {
        if (const std::size_t n = partEndingAt(path, end))
            start = end - n;
    }
    while (const std::size_t n = partEndingAt(path, start))
        start -= n;
    return start;
}

/// A source file's path below the project root without its extension, worked
/// out at compile time from __FILE__, e.g. "client/src/PreProcessor".
template <std::size_t N>
struct SourceTail
{
    char text[N]{};

    constexpr explicit SourceTail(const char (&path)[N])
    {
        const std::size_t begin = tailStart(path);
        std::size_t end = N - 1;
        for (std::size_t i = begin; i + 1 < N; ++i) {
            if (isSeparator(path[i]))
                end = N - 1;
            else if (path[i] == '.')
                end = i;
        }
        std::size_t out = 0;
        for (std::size_t i = begin; i < end; ++i)
            text[out++] = isSeparator(path[i]) ? '/' : path[i];
    }
};

} // namespace ztrace_detail

/// Writes one trace line at `level` from the calling source position; the
/// arguments after the level are those of ZTrace_Always.
#define ZTRACE(level, ...)                                                                         \
    do {                                                                                           \
        static constexpr ::ztrace_detail::SourceTail<sizeof(__FILE__)> ztraceSourceTail_{          \
            __FILE__};                                                                             \
        if (ZTrace_TestMasterLevel(level) &&                                                       \
            ZTrace_Location(ztraceSourceTail_.text, __LINE__, "default", (level)))                 \
            ZTrace_Always(__VA_ARGS__);                                                            \
    } while (false)

#endif // ZTRACE_H
