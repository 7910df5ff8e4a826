#ifndef PACKAGETEXT_H
#define PACKAGETEXT_H

#include <QString>

/// Text form shared by the list packages: every element followed by ", ",
/// so the last one keeps its separator and an empty list gives "".
template <typename List, typename Format>
QString joinWithTrailingComma(const List &list, Format format)
{
    QString text;
    for (const auto &element : list)
        text += format(element) + QStringLiteral(", ");
    return text;
}

#endif // PACKAGETEXT_H
