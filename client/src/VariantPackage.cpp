#include "VariantPackage.h"

#include "VariantWalker.h"

#include <QIODevice>
#include <QPoint>
#include <QStringList>

VariantPackage::VariantPackage(int packageId, IdentData *ident, const QVariant &value)
    : DataPackage(Variant, packageId, ident), m_value(value)
{}

void VariantPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes = encode([this](QDataStream &out) { out << m_value; });
    DataPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

QString VariantPackage::toString() const
{
    QStringList parts;
    if (m_value.canConvert<QList<int>>()) {
        for (int i : m_value.value<QList<int>>())
            parts << QString::number(i);
        return parts.join(QStringLiteral(" | "));
    }
    if (m_value.canConvert<QList<QPoint>>()) {
        for (const QPoint &p : m_value.value<QList<QPoint>>())
            parts << QStringLiteral("%1,%2").arg(p.x()).arg(p.y());
        return parts.join(QStringLiteral(" | "));
    }
    return m_value.toString();
}

void VariantPackage::read(QDataStream &in)
{
    DataPackage::read(in);
    if (!VariantWalker::takeUnreadable(in, m_value))
        in >> m_value;
}

QVariant VariantPackage::value() const
{
    return m_value;
}
