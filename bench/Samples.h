#ifndef SAMPLES_H
#define SAMPLES_H

#include <QJsonObject>

#include <functional>
#include <vector>

/// Durations of repeated calls, in nanoseconds, and the wall time they took.
/// Every measuring loop goes through run(), which stops at a call count or a
/// time limit, whichever comes first.
class Samples
{
public:
    /// Calls `call` until `maxCalls` calls or `maxMs` milliseconds, timing each
    /// call; a call that returns false counts as a failure.
    static Samples run(int maxCalls, int maxMs, const std::function<bool()> &call);

    void add(qint64 ns) { m_ns.push_back(ns); }
    void setWallNs(qint64 ns) { m_wallNs = ns; }
    void setFailures(int failures) { m_failures = failures; }
    /// Appends the samples of `other` (several callers at once).
    void merge(const Samples &other);

    int count() const { return int(m_ns.size()); }
    int failures() const { return m_failures; }
    double wallSeconds() const { return m_wallNs / 1e9; }
    /// The p-th percentile (0..100) in microseconds; 0 without samples.
    double percentileUs(double p) const;
    double meanUs() const;
    double medianUs() const { return percentileUs(50); }
    double p99Us() const { return percentileUs(99); }
    double perSecond() const;

    QJsonObject toJson() const;

private:
    std::vector<qint64> m_ns;
    qint64 m_wallNs = 0;
    int m_failures = 0;
};

#endif // SAMPLES_H
