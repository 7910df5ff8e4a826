#include "FileBench.h"

#include "LoopbackStream.h"
#include "VelDataClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr qint64 MiB = 1024 * 1024;
// A transfer that takes longer than this has failed anyway (the library gives
// up after 20 s for getFile).
constexpr int ChildLimitMs = 120000;

const QString Key = QStringLiteral("benchFile");

QString uuidFor(int mib)
{
    return QStringLiteral("mib%1").arg(mib);
}

/// A line of /proc/self/status in MiB (the kernel gives kB).
double statusMiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int FileBench::Transfer::stalls() const
{
    return int(std::count_if(allSeconds.begin(), allSeconds.end(),
                             [](double seconds) { return seconds >= StallSeconds; }));
}

FileBench::FileBench(const QString &program, const QString &tempRoot)
    : m_program(program), m_tempRoot(tempRoot)
{}

bool FileBench::writeSourceFile(const QString &path, qint64 bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray block(int(MiB), '\0');
    for (qint64 written = 0; written < bytes; written += block.size()) {
        // Every MiB differs, so a misplaced piece would show in the size check.
        for (int i = 0; i < block.size(); i += 4096)
            block[i] = char(written / MiB);
        if (file.write(block.constData(), qMin<qint64>(block.size(), bytes - written)) < 0)
            return false;
    }
    // On disk before anything is timed: its writeback would otherwise compete
    // with the transfers.
    return file.flush() && ::fsync(file.handle()) == 0;
}

double FileBench::fileWriteRate(const QString &path, qint64 bytes)
{
    const QByteArray piece(64 * 1024, 'w');
    QFile file(path);
    QElapsedTimer timer;
    timer.start();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    for (qint64 written = 0; written < bytes; written += piece.size())
        file.write(piece.constData(), qMin<qint64>(piece.size(), bytes - written));
    file.close();
    const qint64 ns = timer.nsecsElapsed();
    QFile::remove(path);
    return double(bytes) * 1e3 / double(ns);
}

FileBench::Result FileBench::measure(int mib, int repeats)
{
    Result result;
    result.mib = mib;
    QTemporaryDir folder(m_tempRoot + QStringLiteral("/vds-bench-files.XXXXXX"));
    const QString source = folder.path() + QStringLiteral("/source-%1.bin").arg(mib);
    const QString target = folder.path() + QStringLiteral("/received");
    if (!folder.isValid() || !QDir().mkpath(target) || !writeSourceFile(source, mib * MiB)) {
        result.set.error = result.get.error = QStringLiteral("cannot write the test file");
        return result;
    }

    QVector<double> setRates, getRates, rawRates, writeRates;
    for (int i = 0; i < repeats; ++i) {
        const Transfer set = runChild(QStringLiteral("set"), mib, source, target);
        Transfer get;
        if (set.ok)
            get = runChild(QStringLiteral("get"), mib, source, target);
        else
            get.error = QStringLiteral("setFile failed");
        QFile::remove(target + QLatin1Char('/') + QFileInfo(source).fileName());
        // The worst memory of all repeats counts, and a failure shows.
        auto keep = [i](Transfer *kept, const Transfer &latest) {
            const double peak = qMax(kept->peakMiB, latest.peakMiB);
            QVector<double> all = kept->allSeconds;
            if (latest.ok)
                all.append(latest.seconds);
            if (i == 0 || !latest.ok)
                *kept = latest;
            kept->peakMiB = peak;
            kept->allSeconds = all;
        };
        keep(&result.set, set);
        keep(&result.get, get);
        setRates.append(set.megabytesPerSecond);
        getRates.append(get.megabytesPerSecond);
        rawRates.append(LoopbackStream::megabytesPerSecond(mib * MiB));
        writeRates.append(fileWriteRate(target + QStringLiteral("/written.bin"), mib * MiB));
    }
    result.set.megabytesPerSecond = median(setRates);
    result.get.megabytesPerSecond = median(getRates);
    result.rawMegabytesPerSecond = median(rawRates);
    result.fileWriteMegabytesPerSecond = median(writeRates);
    return result;
}

FileBench::Transfer FileBench::runChild(const QString &direction, int mib, const QString &file,
                                        const QString &folder)
{
    Transfer transfer;
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(m_program, {QStringLiteral("--file-child"),
                              QStringList{direction, QString::number(mib), file, folder}.join(
                                  QLatin1Char(','))});
    if (!process.waitForFinished(ChildLimitMs)) {
        process.kill();
        process.waitForFinished(5000);
        transfer.error = QStringLiteral("the %1 child did not finish").arg(direction);
        return transfer;
    }
    const QByteArray line = process.readAllStandardOutput().trimmed().split('\n').last();
    const QJsonObject json = QJsonDocument::fromJson(line).object();
    transfer.ok = process.exitCode() == 0 && json.value(QStringLiteral("ok")).toBool();
    transfer.seconds = json.value(QStringLiteral("seconds")).toDouble();
    transfer.peakMiB = json.value(QStringLiteral("peak_mib")).toDouble();
    transfer.startMiB = json.value(QStringLiteral("start_mib")).toDouble();
    transfer.error = json.value(QStringLiteral("error")).toString();
    if (!transfer.ok && transfer.error.isEmpty())
        transfer.error = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    if (transfer.ok && transfer.seconds > 0)
        transfer.megabytesPerSecond = double(mib) * MiB / 1e6 / transfer.seconds;
    return transfer;
}

int FileBench::child(const QStringList &arguments)
{
    const bool set = arguments.value(0) == QLatin1String("set");
    const int mib = arguments.value(1).toInt();
    const QString file = arguments.value(2);
    const QString folder = arguments.value(3);
    QJsonObject out;

    VelDataClient client;
    // Connected before the clock starts, as for every other figure.
    bool ok = client.setInt(QStringLiteral("benchFileWarm"), QStringLiteral("x"), 1);
    const double startMiB = statusMiB("VmRSS");
    QElapsedTimer timer;
    timer.start();
    if (ok) {
        QString uuid = uuidFor(mib);
        ok = set ? client.setFile(Key, uuid, file) : client.getFile(Key, uuid, folder) == 1;
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!ok)
        out.insert(QStringLiteral("error"), client.lastError());
    if (ok && !set) {
        const QString saved = folder + QLatin1Char('/') + QFileInfo(file).fileName();
        ok = QFileInfo(saved).size() == qint64(mib) * MiB;
        if (!ok)
            out.insert(QStringLiteral("error"),
                       QStringLiteral("the received file has the wrong size"));
    }
    out.insert(QStringLiteral("ok"), ok);
    out.insert(QStringLiteral("seconds"), seconds);
    out.insert(QStringLiteral("start_mib"), startMiB);
    out.insert(QStringLiteral("peak_mib"), statusMiB("VmHWM"));
    std::printf("%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    return ok ? 0 : 1;
}

QJsonObject FileBench::toJson(const Result &result)
{
    auto transfer = [](const Transfer &t) {
        QJsonArray all;
        for (double seconds : t.allSeconds)
            all.append(seconds);
        return QJsonObject{{"ok", t.ok},
                           {"repeat_seconds", all},
                           {"stalled_repeats", t.stalls()},
                           {"seconds", t.seconds},
                           {"mb_per_s", t.megabytesPerSecond},
                           {"peak_mib", t.peakMiB},
                           {"start_mib", t.startMiB},
                           {"error", t.error}};
    };
    return QJsonObject{{"mib", result.mib},
                       {"setFile", transfer(result.set)},
                       {"getFile", transfer(result.get)},
                       {"raw_loopback_mb_per_s", result.rawMegabytesPerSecond},
                       {"file_write_mb_per_s", result.fileWriteMegabytesPerSecond}};
}
