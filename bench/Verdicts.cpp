#include "Verdicts.h"

#include <QJsonObject>

Verdicts::Verdicts()
    : m_table(QStringLiteral("Targets"),
              {QStringLiteral("target"), QStringLiteral("measured"), QStringLiteral("verdict")})
{}

void Verdicts::add(const QString &target, const QString &measured, bool met)
{
    m_table.addRow({target, measured, met ? QStringLiteral("met") : QStringLiteral("MISSED")});
    m_json.append(QJsonObject{{"target", target}, {"measured", measured}, {"met", met}});
}
