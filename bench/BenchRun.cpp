#include "BenchRun.h"

#include "ApiBench.h"
#include "BenchTable.h"
#include "CallerGroup.h"
#include "DecoderBench.h"
#include "FileBench.h"
#include "IdentDataRuntime.h"
#include "IntPackage.h"
#include "PingPong.h"
#include "ResponsePackage.h"
#include "RoundTripChild.h"
#include "RuleCosts.h"
#include "ServerBaseline.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPair>
#include <QSysInfo>
#include <QThread>
#include <QVector>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace {

// The targets the benchmarks are held to: ratios or limits within one run.
constexpr double RoundTripTarget = 1.6;
constexpr double RoundTripStretch = 1.3;
constexpr double CacheReadLimitUs = 2.0;
constexpr double FileRateTarget = 200.0;
constexpr double DecoderFramesTarget = 1e6;

QString cpuModel()
{
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (cpuinfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : cpuinfo.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QSysInfo::currentCpuArchitecture();
}

QString loadAverage()
{
    QFile load(QStringLiteral("/proc/loadavg"));
    if (!load.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(load.readAll().split(' ').mid(0, 3).join(' '));
}

/// User+system CPU seconds of the whole process (RUSAGE_SELF) or of the
/// calling thread alone (RUSAGE_THREAD).
double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

BenchRun::BenchRun(const BenchOptions &options) : m_options(options) {}

int BenchRun::run()
{
    const QString glib =
        qEnvironmentVariableIsEmpty("QT_NO_GLIB") ? QStringLiteral("glib") : QStringLiteral("UNIX");
    std::printf("vds_bench %s run, %s; %d cores (%s); load %s; server port %d; Qt event "
                "dispatcher: %s\n",
                m_options.quick ? "quick" : "full",
                qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)),
                QThread::idealThreadCount(), qPrintable(cpuModel()), qPrintable(loadAverage()),
                m_options.port, qPrintable(glib));
    std::fflush(stdout);
    m_json.insert(QStringLiteral("machine"),
                  QJsonObject{{"cores", QThread::idealThreadCount()},
                              {"cpu", cpuModel()},
                              {"load_before", loadAverage()},
                              {"dispatcher", glib},
                              {"quick", m_options.quick},
                              {"started", QDateTime::currentDateTime().toString(Qt::ISODate)}});

    const QVector<QPair<QString, void (BenchRun::*)()>> sections{
        {QStringLiteral("api"), &BenchRun::runApi},
        {QStringLiteral("callers"), &BenchRun::runCallers},
        {QStringLiteral("cpu"), &BenchRun::runCpu},
        {QStringLiteral("files"), &BenchRun::runFiles},
        {QStringLiteral("decoder"), &BenchRun::runDecoder},
        {QStringLiteral("costs"), &BenchRun::runCosts}};
    for (const auto &section : sections) {
        if (m_options.wants(section.first))
            (this->*section.second)();
    }

    m_verdicts.table().print(stdout);
    m_json.insert(QStringLiteral("targets"), m_verdicts.json());
    m_json.insert(QStringLiteral("load_after"), loadAverage());
    std::printf("\nload average at the end: %s\n", qPrintable(loadAverage()));
    if (!m_options.jsonPath.isEmpty()) {
        QFile out(m_options.jsonPath);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            out.write(QJsonDocument(m_json).toJson()) < 0) {
            std::fprintf(stderr, "vds_bench: cannot write %s\n", qPrintable(m_options.jsonPath));
            return 1;
        }
    }
    return 0;
}

void BenchRun::runApi()
{
    ApiBench api(&m_client);
    QString error;
    if (!api.prepare(&error)) {
        std::fprintf(stderr, "vds_bench: %s\n", qPrintable(error));
        m_verdicts.add(QStringLiteral("API round trips"), error, false);
        return;
    }
    ServerBaseline baseline(m_options.port);
    BenchTable table(
        QStringLiteral("Synchronous round trips: public API, the same frame through a plain "
                       "socket against the server, and a bare ping-pong of the same sizes (across "
                       "two cores, and on one)"),
        {QStringLiteral("call"), QStringLiteral("API median µs"), QStringLiteral("p99 µs"),
         QStringLiteral("calls/s"), QStringLiteral("server µs"), QStringLiteral("ping-pong µs"),
         QStringLiteral("1 core µs"), QStringLiteral("API/server"), QStringLiteral("API/ping-pong"),
         QStringLiteral("bytes")});
    QJsonArray rows;
    for (const ApiBench::Operation &op : api.operations()) {
        const int calls = op.bulk ? m_options.bulkCalls() : m_options.apiCalls();
        // Warm: the server's statements, the allocator and the caches.
        Samples::run(calls / 10, 1000, op.call);
        const Samples apiSamples = Samples::run(calls, m_options.apiMs(), op.call);
        QJsonObject row{{"call", op.name}, {"api", apiSamples.toJson()}};
        QStringList cells{op.name, BenchTable::number(apiSamples.medianUs()),
                          BenchTable::number(apiSamples.p99Us()),
                          BenchTable::number(apiSamples.perSecond(), 0)};
        if (apiSamples.failures() > 0)
            cells[0] += QStringLiteral(" (%1 failed)").arg(apiSamples.failures());
        if (!op.frame.isEmpty() && baseline.isConnected()) {
            int answerBytes = 0;
            baseline.roundTrips(op.frame, calls / 10, 1000, &answerBytes);
            const Samples server =
                baseline.roundTrips(op.frame, calls, m_options.apiMs(), &answerBytes);
            auto pingPongAt = [&](PingPong::Placement placement) {
                PingPong::run(placement, op.frame.size(), answerBytes, calls / 10, 1000);
                return PingPong::run(placement, op.frame.size(), answerBytes, calls,
                                     m_options.apiMs());
            };
            const Samples pingPong = pingPongAt(PingPong::TwoCores);
            const Samples pingPongOneCore = pingPongAt(PingPong::SameCore);
            const double toServer = apiSamples.medianUs() / server.medianUs();
            const double toPingPong = apiSamples.medianUs() / pingPong.medianUs();
            cells << BenchTable::number(server.medianUs())
                  << BenchTable::number(pingPong.medianUs())
                  << BenchTable::number(pingPongOneCore.medianUs()) << BenchTable::ratio(toServer)
                  << BenchTable::ratio(toPingPong)
                  << QStringLiteral("%1/%2").arg(op.frame.size()).arg(answerBytes);
            row.insert(QStringLiteral("server_baseline"), server.toJson());
            row.insert(QStringLiteral("ping_pong_two_cores"), pingPong.toJson());
            row.insert(QStringLiteral("ping_pong_one_core"), pingPongOneCore.toJson());
            row.insert(QStringLiteral("api_to_server"), toServer);
            row.insert(QStringLiteral("api_to_ping_pong"), toPingPong);
            row.insert(QStringLiteral("request_bytes"), op.frame.size());
            row.insert(QStringLiteral("answer_bytes"), answerBytes);
            if (op.name == QLatin1String("setInt") || op.name == QLatin1String("getInt")) {
                m_verdicts.add(QStringLiteral("%1 ≤ %2× server baseline (stretch %3×)")
                                   .arg(op.name)
                                   .arg(RoundTripTarget)
                                   .arg(RoundTripStretch),
                               QStringLiteral("%1× (%2 µs vs %3 µs)%4")
                                   .arg(toServer, 0, 'f', 2)
                                   .arg(apiSamples.medianUs(), 0, 'f', 1)
                                   .arg(server.medianUs(), 0, 'f', 1)
                                   .arg(toServer <= RoundTripStretch
                                            ? QStringLiteral(", stretch met")
                                            : QString()),
                               toServer <= RoundTripTarget && apiSamples.failures() == 0);
            }
        } else if (op.frame.isEmpty()) {
            cells << QStringLiteral("-") << QStringLiteral("-") << QStringLiteral("-")
                  << QStringLiteral("-") << QStringLiteral("-") << QStringLiteral("cache");
            m_verdicts.add(
                QStringLiteral("getGlobalsInt from the cache ≤ %1 µs").arg(CacheReadLimitUs),
                QStringLiteral("%1 µs").arg(apiSamples.medianUs(), 0, 'f', 2),
                apiSamples.medianUs() <= CacheReadLimitUs && apiSamples.failures() == 0);
        }
        table.addRow(cells);
        rows.append(row);
    }
    table.print(stdout);
    m_json.insert(QStringLiteral("round_trips"), rows);
}

void BenchRun::runCallers()
{
    BenchTable table(QStringLiteral("Several callers: one client object per thread, all calling "
                                    "setInt"),
                     {QStringLiteral("callers"), QStringLiteral("total calls/s"),
                      QStringLiteral("per-call median µs"), QStringLiteral("p99 µs"),
                      QStringLiteral("vs 1 caller")});
    QJsonArray rows;
    double single = 0;
    for (int callers : {1, 2, 4}) {
        const Samples samples =
            CallerGroup::run(callers, m_options.apiCalls(), m_options.callerMs());
        if (callers == 1)
            single = samples.perSecond();
        const double relative = single > 0 ? samples.perSecond() / single : 0;
        QString name = QString::number(callers);
        if (samples.failures() > 0)
            name += QStringLiteral(" (%1 failed)").arg(samples.failures());
        table.addRow({name, BenchTable::number(samples.perSecond(), 0),
                      BenchTable::number(samples.medianUs()), BenchTable::number(samples.p99Us()),
                      BenchTable::ratio(relative)});
        QJsonObject row = samples.toJson();
        row.insert(QStringLiteral("callers"), callers);
        row.insert(QStringLiteral("vs_one_caller"), relative);
        rows.append(row);
        if (callers > 1)
            m_verdicts.add(QStringLiteral("%1 callers: total calls/s ≥ 1 caller's").arg(callers),
                           QStringLiteral("%1× (%2 vs %3 calls/s)")
                               .arg(relative, 0, 'f', 2)
                               .arg(samples.perSecond(), 0, 'f', 0)
                               .arg(single, 0, 'f', 0),
                           relative >= 1.0 && samples.failures() == 0);
    }
    table.print(stdout);
    m_json.insert(QStringLiteral("callers"), rows);
}

void BenchRun::runCpu()
{
    const int calls = m_options.cpuCalls();
    int value = 0;
    const double processBefore = cpuSeconds(RUSAGE_SELF);
    const double callerBefore = cpuSeconds(RUSAGE_THREAD);
    const Samples samples = Samples::run(calls, 60000, [this, &value] {
        return m_client.setInt(QStringLiteral("bench"), QStringLiteral("cpu"), ++value);
    });
    const double process = cpuSeconds(RUSAGE_SELF) - processBefore;
    const double caller = cpuSeconds(RUSAGE_THREAD) - callerBefore;
    const double scale = samples.count() > 0 ? 100000.0 / samples.count() : 0;
    const double wall = samples.wallSeconds() * scale;
    BenchTable table(QStringLiteral("CPU of the client process per 100 000 setInt (user+system)"),
                     {QStringLiteral("calls"), QStringLiteral("process CPU s"),
                      QStringLiteral("of it the waiting caller"),
                      QStringLiteral("worker and handler threads"), QStringLiteral("wall s"),
                      QStringLiteral("process CPU/wall")});
    table.addRow({QString::number(samples.count()), BenchTable::number(process * scale, 2),
                  BenchTable::number(caller * scale, 2),
                  BenchTable::number((process - caller) * scale, 2), BenchTable::number(wall, 2),
                  BenchTable::ratio(wall > 0 ? process * scale / wall : 0)});
    table.print(stdout);
    m_json.insert(QStringLiteral("cpu"),
                  QJsonObject{{"calls", samples.count()},
                              {"failures", samples.failures()},
                              {"cpu_s_per_100k", process * scale},
                              {"caller_cpu_s_per_100k", caller * scale},
                              {"other_threads_cpu_s_per_100k", (process - caller) * scale},
                              {"wall_s_per_100k", wall}});
}

void BenchRun::runFiles()
{
    FileBench files(QCoreApplication::applicationFilePath(), QDir::tempPath());
    BenchTable table(
        QStringLiteral("Files through the public API (each transfer in a process of its own)"),
        {QStringLiteral("size"), QStringLiteral("setFile MB/s"), QStringLiteral("peak MiB"),
         QStringLiteral("getFile MB/s"), QStringLiteral("peak MiB"),
         QStringLiteral("raw loopback MB/s"), QStringLiteral("file write MB/s"),
         QStringLiteral("set/raw"), QStringLiteral("get/raw"),
         QStringLiteral("calls ≥ 30 ms (set, get)")});
    QJsonArray rows;
    for (int mib : m_options.fileSizesMiB()) {
        const FileBench::Result result = files.measure(mib, m_options.fileRepeats(mib));
        auto rate = [](const FileBench::Transfer &t) {
            return t.ok ? BenchTable::number(t.megabytesPerSecond, 0)
                        : QStringLiteral("failed: ") + t.error;
        };
        const double raw = result.rawMegabytesPerSecond;
        table.addRow({QStringLiteral("%1 MiB").arg(mib), rate(result.set),
                      BenchTable::number(result.set.peakMiB, 0), rate(result.get),
                      BenchTable::number(result.get.peakMiB, 0), BenchTable::number(raw, 0),
                      BenchTable::number(result.fileWriteMegabytesPerSecond, 0),
                      BenchTable::ratio(raw > 0 ? result.set.megabytesPerSecond / raw : 0),
                      BenchTable::ratio(raw > 0 ? result.get.megabytesPerSecond / raw : 0),
                      mib > 1 ? QStringLiteral("-")
                              : QStringLiteral("%1/%3, %2/%4")
                                    .arg(result.set.stalls())
                                    .arg(result.get.stalls())
                                    .arg(result.set.allSeconds.size())
                                    .arg(result.get.allSeconds.size())});
        rows.append(FileBench::toJson(result));
        if (mib == 512) {
            const double memoryLimit = 1.1 * mib + 64;
            for (const auto &[name, transfer] :
                 {std::make_pair(QStringLiteral("setFile"), result.set),
                  std::make_pair(QStringLiteral("getFile"), result.get)}) {
                m_verdicts.add(QStringLiteral("%1 512 MiB ≥ %2 MB/s").arg(name).arg(FileRateTarget),
                               transfer.ok ? QStringLiteral("%1 MB/s").arg(
                                                 transfer.megabytesPerSecond, 0, 'f', 0)
                                           : transfer.error,
                               transfer.ok && transfer.megabytesPerSecond >= FileRateTarget);
                m_verdicts.add(
                    QStringLiteral("%1 512 MiB peak RSS ≤ %2 MiB").arg(name).arg(memoryLimit),
                    QStringLiteral("%1 MiB").arg(transfer.peakMiB, 0, 'f', 0),
                    transfer.ok && transfer.peakMiB <= memoryLimit);
            }
        }
    }
    table.print(stdout);
    m_json.insert(QStringLiteral("files"), rows);
}

void BenchRun::runDecoder()
{
    BenchTable table(QStringLiteral("The decoder alone, fed in 64 KiB pieces"),
                     {QStringLiteral("input"), QStringLiteral("frames"), QStringLiteral("frames/s"),
                      QStringLiteral("MB/s"), QStringLiteral("plain copy MB/s"),
                      QStringLiteral("decoder/copy")});
    QJsonArray small;
    const int frames = m_options.decoderFrames();
    const QVector<QPair<QString, QByteArray>> kinds{
        {QStringLiteral("ResponsePackage (answer to a set)"),
         ApiBench::frameOf(ResponsePackage(7, 2, QString()))},
        {QStringLiteral("IntPackage (answer to getInt)"),
         ApiBench::frameOf(IntPackage(
             7, new IdentDataRuntime(QStringLiteral("bench"), QStringLiteral("getInt")), 42))}};
    for (const auto &kind : kinds) {
        const DecoderBench::SmallFrames result =
            DecoderBench::smallFrames(kind.first, kind.second, frames);
        table.addRow({QStringLiteral("%1, %2 bytes").arg(kind.first).arg(result.frameBytes),
                      QString::number(result.delivered),
                      BenchTable::number(result.framesPerSecond(), 0),
                      BenchTable::number(result.frameBytes * result.framesPerSecond() / 1e6, 0),
                      QStringLiteral("-"), QStringLiteral("-")});
        small.append(DecoderBench::toJson(result));
        m_verdicts.add(QStringLiteral("decoder ≥ 1 000 000 frames/s: %1").arg(kind.first),
                       QStringLiteral("%1 frames/s").arg(result.framesPerSecond(), 0, 'f', 0),
                       result.delivered == frames &&
                           result.framesPerSecond() >= DecoderFramesTarget);
    }
    const DecoderBench::FileFrame file = DecoderBench::fileFrame(512, m_options.quick ? 1 : 3);
    const double share =
        file.copyMegabytesPerSecond > 0 ? file.megabytesPerSecond / file.copyMegabytesPerSecond : 0;
    table.addRow({QStringLiteral("one FilePackage frame of 512 MiB"),
                  file.ok ? QStringLiteral("1") : QStringLiteral("failed"), QStringLiteral("-"),
                  BenchTable::number(file.megabytesPerSecond, 0),
                  BenchTable::number(file.copyMegabytesPerSecond, 0), BenchTable::ratio(share)});
    table.print(stdout);
    m_json.insert(QStringLiteral("decoder"),
                  QJsonObject{{"small_frames", small}, {"file_frame", DecoderBench::toJson(file)}});
    m_verdicts.add(QStringLiteral("decoder 512 MiB frame limited by memory (≥ 0.8× a plain copy "
                                  "into 64 KiB pieces)"),
                   QStringLiteral("%1 MB/s, %2× the copy")
                       .arg(file.megabytesPerSecond, 0, 'f', 0)
                       .arg(share, 0, 'f', 2),
                   file.ok && share >= 0.8);
}

void BenchRun::runCosts()
{
    const int calls = m_options.apiCalls();
    const int ms = m_options.apiMs();
    BenchTable table(
        QStringLiteral("What the library's fixed way of waiting costs, each part "
                       "measured on its own"),
        {QStringLiteral("part"), QStringLiteral("median µs"), QStringLiteral("p99 µs")});
    QJsonObject json;
    auto add = [&](const QString &name, const QString &key, const Samples &samples) {
        table.addRow(
            {name, BenchTable::number(samples.medianUs()), BenchTable::number(samples.p99Us())});
        json.insert(key, samples.toJson());
    };
    add(QStringLiteral("readiness check that begins every wait (attach and detach the "
                       "server's block)"),
        QStringLiteral("readiness_check"), RuleCosts::readinessCheck(calls, ms));
    add(QStringLiteral("one pass of the waiting loop (processEvents, yield)"),
        QStringLiteral("waiting_pass"), RuleCosts::waitingPass(calls, ms));
    add(QStringLiteral("trip through the three threads, no socket"), QStringLiteral("thread_trip"),
        RuleCosts::threadTrip(false, calls, ms));
    add(QStringLiteral("the same with the readiness check meanwhile"),
        QStringLiteral("thread_trip_with_check"), RuleCosts::threadTrip(true, calls, ms));
    table.print(stdout);

    BenchTable dispatcher(
        QStringLiteral("Qt's event dispatcher in the client process (processes of their own, "
                       "median of alternating runs; the server unchanged)"),
        {QStringLiteral("call"), QStringLiteral("glib median µs"),
         QStringLiteral("QT_NO_GLIB=1 median µs"), QStringLiteral("difference µs")});
    // Alternating pairs of child processes, the median of each kind, so that
    // a noisy moment does not decide the comparison.
    const QString program = QCoreApplication::applicationFilePath();
    const int pairs = m_options.quick ? 1 : 3;
    QJsonArray glibRuns, plainRuns;
    for (int i = 0; i < pairs; ++i) {
        glibRuns.append(RoundTripChild::run(program, m_options.port, calls, ms, false));
        plainRuns.append(RoundTripChild::run(program, m_options.port, calls, ms, true));
    }
    auto medianOf = [](const QJsonArray &runs, const QString &name) {
        QVector<double> medians;
        for (const QJsonValue &run : runs) {
            const double us =
                run.toObject().value(name).toObject().value(QStringLiteral("median_us")).toDouble();
            if (us > 0)
                medians.append(us);
        }
        std::sort(medians.begin(), medians.end());
        return medians.isEmpty() ? 0.0 : medians[medians.size() / 2];
    };
    for (const QString &name : {QStringLiteral("setInt"), QStringLiteral("getInt")}) {
        const double withGlib = medianOf(glibRuns, name);
        const double without = medianOf(plainRuns, name);
        dispatcher.addRow({name, BenchTable::number(withGlib), BenchTable::number(without),
                           BenchTable::number(withGlib - without)});
    }
    for (const QJsonArray &runs : {glibRuns, plainRuns}) {
        for (const QJsonValue &run : runs) {
            if (run.toObject().contains(QStringLiteral("error")))
                dispatcher.addRow({QStringLiteral("error: ") +
                                   run.toObject().value(QStringLiteral("error")).toString()});
        }
    }
    dispatcher.print(stdout);
    json.insert(QStringLiteral("dispatcher_glib"), glibRuns);
    json.insert(QStringLiteral("dispatcher_unix"), plainRuns);
    m_json.insert(QStringLiteral("costs"), json);
}
