#include "BenchRun.h"
#include "FrameBytes.h"

#include "ApiBench.h"
#include "BenchTable.h"
#include "CallerGroup.h"
#include "DecoderBench.h"
#include "FileBench.h"
#include "IdentDataRuntime.h"
#include "IntPackage.h"
#include "PingPong.h"
#include "RedisBench.h"
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
#include <tuple>

namespace {

// The targets the benchmarks are held to: ratios or limits within one run.
// Against Redis in the same run: the server alone through a plain socket, by
// server mode, and the library's setInt and getInt against the durable one.
constexpr double RawSetToRedisDurable = 1.3;
constexpr double RawSetToRedisInMemory = 1.15;
constexpr double ApiToRedisTarget = 2.0;
constexpr double ApiToRedisStretch = 1.6;
constexpr double TailToMedianLimit = 3.0;
constexpr double CacheReadLimitUs = 2.0;
constexpr double FileRateTarget = 400.0;
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

/// A memory line of another process's status in MiB, such as its peak
/// resident memory ("VmHWM") or its present one ("VmRSS"); 0 when unknown.
double memoryMiBOf(qint64 pid, const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (pid <= 0 || !status.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray prefix = field + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

double ratioOf(double ours, double theirs)
{
    return ours > 0 && theirs > 0 ? ours / theirs : 0;
}

/// "1.23×", or "-" when either side is missing.
QString ratioCell(double ratio)
{
    return ratio > 0 ? BenchTable::ratio(ratio) : QStringLiteral("-");
}

} // namespace

BenchRun::BenchRun(const BenchOptions &options)
    : m_options(options),
      m_redisMissing(QStringLiteral("not measured: the redis section was not run")),
      m_headline(QStringLiteral("The figures the targets are judged by (ratios of medians; ÷ raw "
                                "socket: the same frame through a plain socket, or the raw "
                                "loopback rate for files)"),
                 {QStringLiteral("figure"), QStringLiteral("measured"), QStringLiteral("÷ Redis"),
                  QStringLiteral("÷ raw socket"), QStringLiteral("note")})
{}

void BenchRun::addHeadline(const QString &figure, const QString &measured, double toRedis,
                           double toRaw, const QString &note)
{
    m_headline.addRow({figure, measured, ratioCell(toRedis), ratioCell(toRaw), note});
    QJsonObject row{{"figure", figure}, {"measured", measured}, {"note", note}};
    if (toRedis > 0)
        row.insert(QStringLiteral("to_redis"), toRedis);
    if (toRaw > 0)
        row.insert(QStringLiteral("to_raw_socket"), toRaw);
    m_headlineJson.append(row);
}

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

    m_serverIdleMiB = memoryMiBOf(m_options.serverPid, "VmRSS");
    if (m_serverIdleMiB > 0)
        m_json.insert(QStringLiteral("server_idle_mib"), m_serverIdleMiB);

    const QVector<QPair<QString, void (BenchRun::*)()>> sections{
        {QStringLiteral("redis"), &BenchRun::runRedis},
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

    m_headline.print(stdout);
    m_json.insert(QStringLiteral("headline"), m_headlineJson);
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

void BenchRun::runRedis()
{
    const int calls = m_options.apiCalls();
    const int ms = m_options.apiMs();
    BenchTable table(
        QStringLiteral("Side by side with Redis: SET/GET through hiredis (synchronous, one "
                       "connection), the IntPackage set and the get through a plain socket, and "
                       "setInt/getInt through the library, against a durable and an in-memory "
                       "server; ratios of medians"),
        {QStringLiteral("figure"), QStringLiteral("calls"), QStringLiteral("mean µs"),
         QStringLiteral("median µs"), QStringLiteral("p99 µs"), QStringLiteral("p99/median"),
         QStringLiteral("÷ Redis"), QStringLiteral("÷ raw socket")});
    auto addRow = [&table](const QString &name, const QJsonObject &stats, double redisMedian,
                           double rawMedian) {
        const double median = stats.value(QStringLiteral("median_us")).toDouble();
        const double p99 = stats.value(QStringLiteral("p99_us")).toDouble();
        QString label = name;
        if (stats.value(QStringLiteral("failures")).toInt() > 0)
            label +=
                QStringLiteral(" (%1 failed)").arg(stats.value(QStringLiteral("failures")).toInt());
        table.addRow({label, QString::number(stats.value(QStringLiteral("calls")).toInt()),
                      BenchTable::number(stats.value(QStringLiteral("mean_us")).toDouble()),
                      BenchTable::number(median), BenchTable::number(p99),
                      ratioCell(ratioOf(p99, median)), ratioCell(ratioOf(median, redisMedian)),
                      ratioCell(ratioOf(median, rawMedian))});
    };
    QJsonObject json;

    {
        RedisBench redis(m_options.redisPort);
        if (redis.isConnected()) {
            // Warm, as every other figure.
            redis.set(calls / 10, 1000);
            redis.get(calls / 10, 1000);
            m_redisSet = redis.set(calls, ms);
            m_redisGet = redis.get(calls, ms);
            m_redisMissing.clear();
            addRow(QStringLiteral("Redis SET"), m_redisSet.toJson(), 0, 0);
            addRow(QStringLiteral("Redis GET"), m_redisGet.toJson(), 0, 0);
            json.insert(QStringLiteral("redis_set"), m_redisSet.toJson());
            json.insert(QStringLiteral("redis_get"), m_redisGet.toJson());
        } else {
            m_redisMissing = redis.unavailableReason();
            table.addRow({QStringLiteral("Redis SET, GET: ") + m_redisMissing});
            json.insert(QStringLiteral("redis"), m_redisMissing);
        }
    }
    const double redisSet = m_redisSet.medianUs();
    const double redisGet = m_redisGet.medianUs();
    auto redisNote = [this](const QString &command) {
        return m_redisMissing.isEmpty() ? QStringLiteral("÷ Redis %1").arg(command)
                                        : QStringLiteral("Redis %1").arg(m_redisMissing);
    };

    struct Mode
    {
        QString name;
        QString key;
        int port;
        QString home;
    };
    const QVector<Mode> modes{
        {QStringLiteral("durable"), QStringLiteral("durable"), m_options.port, QString()},
        {QStringLiteral("in-memory"), QStringLiteral("in_memory"), m_options.inMemoryPort,
         m_options.inMemoryHome}};
    const QString program = QCoreApplication::applicationFilePath();
    for (const Mode &mode : modes) {
        QJsonObject modeJson{{"port", mode.port}};
        if (mode.port <= 0 || (mode.key == QLatin1String("in_memory") && mode.home.isEmpty())) {
            const QString missing = QStringLiteral("not measured: no --in-memory-port and "
                                                   "--in-memory-home");
            table.addRow({mode.name + QStringLiteral(": ") + missing});
            addHeadline(mode.name + QStringLiteral(" server"), missing, 0, 0);
            modeJson.insert(QStringLiteral("error"), missing);
            json.insert(mode.key, modeJson);
            continue;
        }
        // The library first, in a process of its own set up for this server;
        // it also stores the value that the plain socket's get then reads.
        const QJsonObject api =
            RoundTripChild::run(program, mode.port, calls, ms, false, mode.home);
        ServerBaseline baseline(mode.port);
        Samples rawSet, rawGet;
        if (baseline.isConnected()) {
            const QByteArray setFrame =
                ApiBench::setIntFrame(QStringLiteral("bench"), QStringLiteral("setInt"), 1);
            const QByteArray getFrame =
                ApiBench::getFrame(QStringLiteral("bench"), QStringLiteral("getInt"));
            baseline.roundTrips(setFrame, calls / 10, 1000, nullptr);
            rawSet = baseline.roundTrips(setFrame, calls, ms, nullptr);
            baseline.roundTrips(getFrame, calls / 10, 1000, nullptr);
            rawGet = baseline.roundTrips(getFrame, calls, ms, nullptr);
        }
        const QJsonObject setInt = api.value(QStringLiteral("setInt")).toObject();
        const QJsonObject getInt = api.value(QStringLiteral("getInt")).toObject();
        addRow(mode.name + QStringLiteral(": raw-socket IntPackage set"), rawSet.toJson(), redisSet,
               0);
        addRow(mode.name + QStringLiteral(": raw-socket get"), rawGet.toJson(), redisGet, 0);
        if (api.contains(QStringLiteral("error"))) {
            table.addRow({mode.name + QStringLiteral(": setInt, getInt failed: ") +
                          api.value(QStringLiteral("error")).toString()});
        } else {
            addRow(mode.name + QStringLiteral(": setInt"), setInt, redisSet, rawSet.medianUs());
            addRow(mode.name + QStringLiteral(": getInt"), getInt, redisGet, rawGet.medianUs());
        }
        auto latency = [](const QJsonObject &stats) {
            const double median = stats.value(QStringLiteral("median_us")).toDouble();
            const double p99 = stats.value(QStringLiteral("p99_us")).toDouble();
            return QStringLiteral("%1 µs, p99 %2 µs (%3× the median)")
                .arg(BenchTable::number(median), BenchTable::number(p99),
                     QString::number(ratioOf(p99, median), 'f', 1));
        };
        addHeadline(mode.name + QStringLiteral(": raw-socket IntPackage set"),
                    latency(rawSet.toJson()), ratioOf(rawSet.medianUs(), redisSet), 0,
                    redisNote(QStringLiteral("SET")));
        addHeadline(
            mode.name + QStringLiteral(": setInt"), latency(setInt),
            ratioOf(setInt.value(QStringLiteral("median_us")).toDouble(), redisSet),
            ratioOf(setInt.value(QStringLiteral("median_us")).toDouble(), rawSet.medianUs()),
            redisNote(QStringLiteral("SET")));
        addHeadline(
            mode.name + QStringLiteral(": getInt"), latency(getInt),
            ratioOf(getInt.value(QStringLiteral("median_us")).toDouble(), redisGet),
            ratioOf(getInt.value(QStringLiteral("median_us")).toDouble(), rawGet.medianUs()),
            redisNote(QStringLiteral("GET")));
        judge(mode.key == QLatin1String("durable"), rawSet, setInt, getInt, redisSet, redisGet);
        modeJson.insert(QStringLiteral("raw_socket_set"), rawSet.toJson());
        modeJson.insert(QStringLiteral("raw_socket_get"), rawGet.toJson());
        modeJson.insert(QStringLiteral("api"), api);
        json.insert(mode.key, modeJson);
    }
    table.print(stdout);
    if (!m_redisMissing.isEmpty())
        std::printf("Redis SET/GET %s\n", qPrintable(m_redisMissing));
    m_json.insert(QStringLiteral("redis_side_by_side"), json);
}

void BenchRun::judge(bool durable, const Samples &rawSet, const QJsonObject &setInt,
                     const QJsonObject &getInt, double redisSet, double redisGet)
{
    const QString mode = durable ? QStringLiteral("durable") : QStringLiteral("in-memory");
    auto ratioText = [](double ratio, double ours, double theirs) {
        return ratio > 0 ? QStringLiteral("%1× (%2 µs vs %3 µs)")
                               .arg(ratio, 0, 'f', 2)
                               .arg(ours, 0, 'f', 1)
                               .arg(theirs, 0, 'f', 1)
                         : QStringLiteral("not measured");
    };
    const double rawLimit = durable ? RawSetToRedisDurable : RawSetToRedisInMemory;
    const double raw = ratioOf(rawSet.medianUs(), redisSet);
    m_verdicts.add(QStringLiteral("%1: raw-socket set ≤ %2× Redis SET").arg(mode).arg(rawLimit),
                   ratioText(raw, rawSet.medianUs(), redisSet), raw > 0 && raw <= rawLimit);
    if (!durable)
        return;
    for (const auto &[name, stats, redis] :
         {std::make_tuple(QStringLiteral("setInt"), setInt, redisSet),
          std::make_tuple(QStringLiteral("getInt"), getInt, redisGet)}) {
        const double median = stats.value(QStringLiteral("median_us")).toDouble();
        const double ratio = ratioOf(median, redis);
        m_verdicts.add(QStringLiteral("durable: %1 ≤ %2× Redis (stretch %3×)")
                           .arg(name)
                           .arg(ApiToRedisTarget)
                           .arg(ApiToRedisStretch),
                       ratioText(ratio, median, redis) + (ratio > 0 && ratio <= ApiToRedisStretch
                                                              ? QStringLiteral(", stretch met")
                                                              : QString()),
                       ratio > 0 && ratio <= ApiToRedisTarget);
        const double tail = ratioOf(stats.value(QStringLiteral("p99_us")).toDouble(), median);
        m_verdicts.add(
            QStringLiteral("durable: %1 p99 ≤ %2× its median").arg(name).arg(TailToMedianLimit),
            tail > 0 ? QStringLiteral("%1×").arg(tail, 0, 'f', 1) : QStringLiteral("not measured"),
            tail > 0 && tail <= TailToMedianLimit);
    }
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
         QStringLiteral("calls/s"), QStringLiteral("Redis µs"), QStringLiteral("API/Redis"),
         QStringLiteral("server µs"), QStringLiteral("ping-pong µs"), QStringLiteral("1 core µs"),
         QStringLiteral("API/server"), QStringLiteral("API/ping-pong"), QStringLiteral("bytes")});
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
        // Redis answers the same two requests: SET for setInt, GET for getInt.
        const Samples *redis = op.name == QLatin1String("setInt")   ? &m_redisSet
                               : op.name == QLatin1String("getInt") ? &m_redisGet
                                                                    : nullptr;
        if (redis && redis->count() > 0) {
            const double toRedis = apiSamples.medianUs() / redis->medianUs();
            cells << BenchTable::number(redis->medianUs()) << BenchTable::ratio(toRedis);
            row.insert(QStringLiteral("redis"), redis->toJson());
            row.insert(QStringLiteral("api_to_redis"), toRedis);
        } else {
            cells << QStringLiteral("-") << QStringLiteral("-");
        }
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
            addHeadline(QStringLiteral("%1 callers: total calls/s").arg(callers),
                        QStringLiteral("%1 calls/s").arg(samples.perSecond(), 0, 'f', 0), 0, 0,
                        QStringLiteral("%1× one caller's %2 calls/s")
                            .arg(relative, 0, 'f', 2)
                            .arg(single, 0, 'f', 0));
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
        if (mib >= 512) {
            for (const auto &[name, transfer] :
                 {std::make_pair(QStringLiteral("setFile"), result.set),
                  std::make_pair(QStringLiteral("getFile"), result.get)}) {
                addHeadline(QStringLiteral("%1 %2 MiB").arg(name).arg(mib),
                            transfer.ok ? QStringLiteral("%1 MB/s, client peak RSS %2 MiB")
                                              .arg(transfer.megabytesPerSecond, 0, 'f', 0)
                                              .arg(transfer.peakMiB, 0, 'f', 0)
                                        : QStringLiteral("failed: ") + transfer.error,
                            0, ratioOf(transfer.megabytesPerSecond, raw),
                            QStringLiteral("÷ raw loopback %1 MB/s").arg(raw, 0, 'f', 0));
            }
        }
        if (mib >= 512) {
            const double memoryLimit = 1.1 * mib + 64;
            for (const auto &[name, transfer] :
                 {std::make_pair(QStringLiteral("setFile"), result.set),
                  std::make_pair(QStringLiteral("getFile"), result.get)}) {
                // The rate is judged at 512 MiB; the largest file must get
                // through.
                if (mib == 512)
                    m_verdicts.add(
                        QStringLiteral("%1 512 MiB ≥ %2 MB/s").arg(name).arg(FileRateTarget),
                        transfer.ok
                            ? QStringLiteral("%1 MB/s").arg(transfer.megabytesPerSecond, 0, 'f', 0)
                            : transfer.error,
                        transfer.ok && transfer.megabytesPerSecond >= FileRateTarget);
                else
                    m_verdicts.add(QStringLiteral("%1 %2 MiB succeeds").arg(name).arg(mib),
                                   transfer.ok ? QStringLiteral("yes") : transfer.error,
                                   transfer.ok);
                m_verdicts.add(QStringLiteral("%1 %2 MiB peak RSS ≤ %3 MiB")
                                   .arg(name)
                                   .arg(mib)
                                   .arg(memoryLimit),
                               QStringLiteral("%1 MiB").arg(transfer.peakMiB, 0, 'f', 0),
                               transfer.ok && transfer.peakMiB <= memoryLimit);
            }
        }
    }
    // The server's high-water mark covers its whole life, and the largest
    // transfers it ever held are the ones just done.
    const double serverPeak = memoryMiBOf(m_options.serverPid, "VmHWM");
    const QString serverPeakText = serverPeak > 0 ? QStringLiteral("%1 MiB, idle %2 MiB")
                                                        .arg(serverPeak, 0, 'f', 0)
                                                        .arg(m_serverIdleMiB, 0, 'f', 0)
                                                  : QStringLiteral("not measured: no --server-pid");
    table.print(stdout);
    // Below the table: a row of its own would widen the size column.
    std::printf("server peak RSS (VmHWM) after the transfers: %s\n", qPrintable(serverPeakText));
    addHeadline(QStringLiteral("server peak RSS after the file transfers"), serverPeakText, 0, 0,
                QStringLiteral("the durable server"));
    m_json.insert(QStringLiteral("files"), rows);
    if (serverPeak > 0) {
        m_json.insert(QStringLiteral("server_peak_mib"), serverPeak);
        m_verdicts.add(QStringLiteral("server peak RSS ≤ idle + 64 MiB"), serverPeakText,
                       serverPeak <= m_serverIdleMiB + 64);
    }
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
         FrameBytes::encode(ResponsePackage(7, 2, QString()))},
        {QStringLiteral("IntPackage (answer to getInt)"),
         FrameBytes::encode(IntPackage(
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
        if (kind.first.startsWith(QLatin1String("IntPackage")))
            addHeadline(QStringLiteral("decoder: IntPackage answers"),
                        QStringLiteral("%1 frames/s").arg(result.framesPerSecond(), 0, 'f', 0), 0,
                        0, QStringLiteral("%1 bytes each").arg(result.frameBytes));
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
    add(QStringLiteral("readiness check that begins every wait (the server's block looked up "
                       "and its attachments read)"),
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
