#ifndef DOUBLELISTPACKAGE_H
#define DOUBLELISTPACKAGE_H

#include "DataPackage.h"

/// A list of doubles for one identifier (type code 8).
class DoubleListPackage : public DataPackage
{
public:
    /// Takes ownership of `ident`.
    DoubleListPackage(int packageId, IdentData *ident, const QList<double> &value);

    void write(QIODevice *device, qint64 extraSize) const override;
    QString toString() const override;
    void read(QDataStream &in) override;
    QVariant value() const override;

    const QList<double> &typedValue() const { return m_value; }

private:
    QList<double> m_value;
};

#endif // DOUBLELISTPACKAGE_H
