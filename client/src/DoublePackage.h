#ifndef DOUBLEPACKAGE_H
#define DOUBLEPACKAGE_H

#include "DataPackage.h"

/// A double value for one identifier (type code 4).
class DoublePackage : public DataPackage
{
public:
    /// Takes ownership of `ident`.
    DoublePackage(int packageId, IdentData *ident, double value);

    void write(QIODevice *device, qint64 extraSize) const override;
    QString toString() const override;
    void read(QDataStream &in) override;
    QVariant value() const override;

    const double &typedValue() const { return m_value; }

private:
    double m_value;
};

#endif // DOUBLEPACKAGE_H
