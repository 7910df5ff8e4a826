#ifndef BENCHOPTIONS_H
#define BENCHOPTIONS_H

#include <QSet>
#include <QString>
#include <QStringList>

/// The command line of vds_bench, and the sizes of every measuring loop that
/// follow from --quick.
class BenchOptions
{
public:
    /// Parses the arguments; on a usage error prints it and returns false with
    /// `exitCode` set.
    bool parse(const QStringList &arguments, int *exitCode);

    bool quick = false;
    QString jsonPath;
    /// The server's port: --port, otherwise the client's own settings.
    int port = 0;
    /// The in-memory server next to the default (durable) one: its port, and
    /// the folder whose config/, tmp/ and data/ its clients run with (the
    /// readiness block and the settings are found through them); 0 and empty
    /// when there is none.
    int inMemoryPort = 0;
    QString inMemoryHome;
    /// The private redis-server's port; 0 when none was started.
    int redisPort = 0;
    /// The process id of the server at --port, for its peak memory; 0 unknown.
    qint64 serverPid = 0;
    /// Empty means every section.
    QSet<QString> sections;
    /// A child run of the file section: {"set"|"get", size in MiB, file, folder}.
    QStringList fileChild;
    /// A child run of setInt and getInt: {calls, milliseconds}.
    QStringList roundTripChild;

    bool wants(const QString &section) const;

    // Loop bounds: each measuring loop stops at this many calls or this much time.
    int apiCalls() const { return quick ? 3000 : 30000; }
    int apiMs() const { return quick ? 2000 : 10000; }
    int bulkCalls() const { return quick ? 500 : 5000; }
    int callerMs() const { return quick ? 1500 : 5000; }
    int cpuCalls() const { return quick ? 20000 : 100000; }
    int decoderFrames() const { return 1000000; }
    QList<int> fileSizesMiB() const { return {1, 64, 512, 2048}; }
    /// Small files are repeated more: their figure varies from call to call.
    /// The largest is sent once even in a full run: it shows that such a file
    /// gets through, and with what memory, not a rate to compare.
    int fileRepeats(int mib) const
    {
        return mib <= 1 ? (quick ? 5 : 15) : mib > 512 || quick ? 1 : 3;
    }

    static const QStringList &allSections();
};

#endif // BENCHOPTIONS_H
