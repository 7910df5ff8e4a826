#ifndef FILEBENCH_H
#define FILEBENCH_H

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

/// setFile and getFile of whole files through the public API, each transfer in
/// a process of its own so that its peak resident memory is its own, next to
/// the raw loopback throughput of the same number of bytes.
class FileBench
{
public:
    struct Transfer
    {
        bool ok = false;
        double seconds = 0;
        double megabytesPerSecond = 0;
        /// Peak resident memory of the client process (VmHWM), and its
        /// resident memory just before the transfer, in MiB.
        double peakMiB = 0;
        double startMiB = 0;
        QString error;
        /// The time of every repeat, in seconds.
        QVector<double> allSeconds;
        /// Repeats that took StallSeconds or longer.
        int stalls() const;
    };
    /// A 1 MiB transfer takes a few milliseconds; one that waits for a
    /// delayed acknowledgement (40 ms) takes longer than this.
    static constexpr double StallSeconds = 0.03;
    struct Result
    {
        int mib = 0;
        Transfer set;
        Transfer get;
        double rawMegabytesPerSecond = 0;
        /// Writing the same bytes from memory into a new file of the same
        /// folder in 64 KiB pieces, as getFile saves what it received.
        double fileWriteMegabytesPerSecond = 0;
    };

    /// The files go into a temporary folder below `tempRoot`, removed afterwards.
    FileBench(const QString &program, const QString &tempRoot);

    Result measure(int mib, int repeats);
    static QJsonObject toJson(const Result &result);

    /// The child side: `arguments` are {"set"|"get", MiB, file, folder}. Prints one
    /// JSON line with the outcome; returns the exit code.
    static int child(const QStringList &arguments);

private:
    Transfer runChild(const QString &direction, int mib, const QString &file,
                      const QString &folder);
    static bool writeSourceFile(const QString &path, qint64 bytes);
    static double fileWriteRate(const QString &path, qint64 bytes);

    QString m_program;
    QString m_tempRoot;
};

#endif // FILEBENCH_H
