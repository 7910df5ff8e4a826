#include "BenchOptions.h"

#include <QCommandLineParser>
#include <QSettings>

#include <cstdio>

const QStringList &BenchOptions::allSections()
{
    static const QStringList names{QStringLiteral("redis"),   QStringLiteral("api"),
                                   QStringLiteral("files"),   QStringLiteral("decoder"),
                                   QStringLiteral("callers"), QStringLiteral("cpu"),
                                   QStringLiteral("costs")};
    return names;
}

bool BenchOptions::wants(const QString &section) const
{
    return sections.isEmpty() || sections.contains(section);
}

bool BenchOptions::parse(const QStringList &arguments, int *exitCode)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Benchmarks of the VelDataClient library against a running VelDataServer, "
                       "each next to the machine's own limit measured in the same run."));
    parser.addHelpOption();
    const QCommandLineOption quickOption(QStringLiteral("quick"),
                                         QStringLiteral("A short run with fewer calls."));
    const QCommandLineOption jsonOption(QStringLiteral("json"),
                                        QStringLiteral("Also write every figure as JSON to FILE."),
                                        QStringLiteral("FILE"));
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("The server's port (default: serverPort of the client's settings)."),
        QStringLiteral("N"));
    const QCommandLineOption inMemoryPortOption(
        QStringLiteral("in-memory-port"),
        QStringLiteral("The port of a second server, started with --in-memory."),
        QStringLiteral("N"));
    const QCommandLineOption inMemoryHomeOption(
        QStringLiteral("in-memory-home"),
        QStringLiteral("The folder with config/, tmp/ and data/ that the in-memory server's "
                       "clients run with."),
        QStringLiteral("DIR"));
    const QCommandLineOption redisPortOption(
        QStringLiteral("redis-port"),
        QStringLiteral("The port of a private redis-server on 127.0.0.1."), QStringLiteral("N"));
    const QCommandLineOption serverPidOption(
        QStringLiteral("server-pid"),
        QStringLiteral("The process id of the server at --port, for its peak memory."),
        QStringLiteral("PID"));
    const QCommandLineOption onlyOption(
        QStringLiteral("only"),
        QStringLiteral("Run only these sections, comma-separated: ") +
            allSections().join(QLatin1Char(',')) + QLatin1Char('.'),
        QStringLiteral("LIST"));
    QCommandLineOption childOption(QStringLiteral("file-child"),
                                   QStringLiteral("Internal: one file transfer in a process of "
                                                  "its own (set|get,MiB,file,folder)."),
                                   QStringLiteral("ARGS"));
    childOption.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption roundTripOption(
        QStringLiteral("round-trip-child"),
        QStringLiteral("Internal: setInt and getInt in a process of its own (calls,ms)."),
        QStringLiteral("ARGS"));
    roundTripOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({quickOption, jsonOption, portOption, inMemoryPortOption, inMemoryHomeOption,
                       redisPortOption, serverPidOption, onlyOption, childOption, roundTripOption});
    parser.process(arguments);

    quick = parser.isSet(quickOption);
    jsonPath = parser.value(jsonOption);
    inMemoryPort = parser.value(inMemoryPortOption).toInt();
    inMemoryHome = parser.value(inMemoryHomeOption);
    redisPort = parser.value(redisPortOption).toInt();
    serverPid = parser.value(serverPidOption).toLongLong();
    if (parser.isSet(childOption)) {
        fileChild = parser.value(childOption).split(QLatin1Char(','));
        if (fileChild.size() != 4) {
            std::fprintf(stderr, "vds_bench: --file-child takes set|get,MiB,file,folder\n");
            *exitCode = 2;
            return false;
        }
    }
    if (parser.isSet(roundTripOption)) {
        roundTripChild = parser.value(roundTripOption).split(QLatin1Char(','));
        if (roundTripChild.size() != 2) {
            std::fprintf(stderr, "vds_bench: --round-trip-child takes calls,ms\n");
            *exitCode = 2;
            return false;
        }
    }
    if (parser.isSet(onlyOption)) {
        for (const QString &name : parser.value(onlyOption).split(QLatin1Char(','))) {
            if (!allSections().contains(name)) {
                std::fprintf(stderr, "vds_bench: unknown section %s\n", qPrintable(name));
                *exitCode = 2;
                return false;
            }
            sections.insert(name);
        }
    }
    if (parser.isSet(portOption)) {
        port = parser.value(portOption).toInt();
    } else {
        QSettings settings(QSettings::NativeFormat, QSettings::SystemScope,
                           QStringLiteral("Haltra"), QStringLiteral("VelDataServer"));
        settings.setFallbacksEnabled(false);
        port = settings.value(QStringLiteral("Settings/serverPort"), 37073).toInt();
    }
    return true;
}
