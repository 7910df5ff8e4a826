#ifndef BENCHTABLE_H
#define BENCHTABLE_H

#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdio>

/// One titled table of the terminal report: a header row and text rows,
/// printed with every column padded to its widest cell.
class BenchTable
{
public:
    BenchTable(const QString &title, const QStringList &headers);

    void addRow(const QStringList &cells);
    void print(std::FILE *out) const;

    /// A number with `decimals` places (none when it is 100 or more and
    /// `decimals` is "auto", i.e. negative).
    static QString number(double value, int decimals = -1);
    /// "1.23×" for a ratio.
    static QString ratio(double value);

private:
    QString m_title;
    QStringList m_headers;
    QVector<QStringList> m_rows;
};

#endif // BENCHTABLE_H
