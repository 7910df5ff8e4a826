#ifndef VARIANTPACKAGE_H
#define VARIANTPACKAGE_H

#include "DataPackage.h"

/// A variant value for one identifier (type code 11), in QDataStream's own
/// QVariant encoding. Lists of int, double and QPoint inside it travel only
/// once their stream operators are registered (ListTypes).
class VariantPackage : public DataPackage
{
public:
    /// Takes ownership of `ident`.
    VariantPackage(int packageId, IdentData *ident, const QVariant &value);

    void write(QIODevice *device, qint64 extraSize) const override;
    QString toString() const override;
    void read(QDataStream &in) override;
    QVariant value() const override;

    const QVariant &typedValue() const { return m_value; }

private:
    QVariant m_value;
};

#endif // VARIANTPACKAGE_H
