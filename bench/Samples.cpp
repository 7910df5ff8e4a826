#include "Samples.h"

#include <QElapsedTimer>

#include <algorithm>

Samples Samples::run(int maxCalls, int maxMs, const std::function<bool()> &call)
{
    Samples samples;
    samples.m_ns.reserve(size_t(maxCalls));
    const qint64 limitNs = qint64(maxMs) * 1000000;
    QElapsedTimer wall;
    wall.start();
    qint64 before = wall.nsecsElapsed();
    for (int i = 0; i < maxCalls && before < limitNs; ++i) {
        if (!call())
            ++samples.m_failures;
        const qint64 after = wall.nsecsElapsed();
        samples.m_ns.push_back(after - before);
        before = after;
    }
    samples.m_wallNs = before;
    return samples;
}

void Samples::merge(const Samples &other)
{
    m_ns.insert(m_ns.end(), other.m_ns.begin(), other.m_ns.end());
    m_failures += other.m_failures;
}

double Samples::percentileUs(double p) const
{
    if (m_ns.empty())
        return 0;
    std::vector<qint64> sorted = m_ns;
    const size_t index = std::min(sorted.size() - 1, size_t(p / 100.0 * double(sorted.size())));
    std::nth_element(sorted.begin(), sorted.begin() + long(index), sorted.end());
    return double(sorted[index]) / 1000.0;
}

double Samples::meanUs() const
{
    if (m_ns.empty())
        return 0;
    double total = 0;
    for (qint64 ns : m_ns)
        total += double(ns);
    return total / double(m_ns.size()) / 1000.0;
}

double Samples::perSecond() const
{
    return m_wallNs > 0 ? double(m_ns.size()) * 1e9 / double(m_wallNs) : 0;
}

QJsonObject Samples::toJson() const
{
    return QJsonObject{{"calls", count()},    {"failures", m_failures},
                       {"mean_us", meanUs()}, {"median_us", medianUs()},
                       {"p99_us", p99Us()},   {"calls_per_s", perSecond()}};
}
