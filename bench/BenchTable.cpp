#include "BenchTable.h"

#include <algorithm>
#include <cmath>

BenchTable::BenchTable(const QString &title, const QStringList &headers)
    : m_title(title), m_headers(headers)
{}

void BenchTable::addRow(const QStringList &cells)
{
    m_rows.append(cells);
}

void BenchTable::print(std::FILE *out) const
{
    QVector<int> widths(m_headers.size(), 0);
    auto measure = [&widths](const QStringList &cells) {
        for (int i = 0; i < cells.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], int(cells[i].size()));
    };
    measure(m_headers);
    for (const QStringList &row : m_rows)
        measure(row);
    auto line = [&](const QStringList &cells) {
        QString text;
        for (int i = 0; i < widths.size(); ++i) {
            const QString cell = i < cells.size() ? cells[i] : QString();
            // The first column reads left to right, figures line up on the right.
            text += i == 0 ? cell.leftJustified(widths[i]) : cell.rightJustified(widths[i]);
            if (i + 1 < widths.size())
                text += QStringLiteral("  ");
        }
        std::fprintf(out, "%s\n", text.trimmed().isEmpty() ? "" : text.toUtf8().constData());
    };
    std::fprintf(out, "\n== %s\n", m_title.toUtf8().constData());
    line(m_headers);
    int total = 0;
    for (int w : widths)
        total += w + 2;
    std::fprintf(out, "%s\n",
                 QString(std::max(0, total - 2), QLatin1Char('-')).toUtf8().constData());
    for (const QStringList &row : m_rows)
        line(row);
    std::fflush(out);
}

QString BenchTable::number(double value, int decimals)
{
    if (decimals < 0) {
        const double magnitude = std::fabs(value);
        decimals = magnitude >= 100 ? 0 : magnitude >= 10 ? 1 : 2;
    }
    return QString::number(value, 'f', decimals);
}

QString BenchTable::ratio(double value)
{
    return QString::number(value, 'f', 2) + QStringLiteral("×");
}
