#ifndef STRINGLISTPACKAGE_H
#define STRINGLISTPACKAGE_H

#include "DataPackage.h"

#include <QStringList>

/// A string list for one identifier (type code 7).
class StringListPackage : public DataPackage
{
public:
    /// Takes ownership of `ident`.
    StringListPackage(int packageId, IdentData *ident, const QStringList &value);

    void write(QIODevice *device, qint64 extraSize) const override;
    QString toString() const override;
    void read(QDataStream &in) override;
    QVariant value() const override;

    const QStringList &typedValue() const { return m_value; }

private:
    QStringList m_value;
};

#endif // STRINGLISTPACKAGE_H
