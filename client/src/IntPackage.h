#ifndef INTPACKAGE_H
#define INTPACKAGE_H

#include "DataPackage.h"

/// A 32-bit integer value for one identifier (type code 5).
class IntPackage : public DataPackage
{
public:
    /// Takes ownership of `ident`.
    IntPackage(int packageId, IdentData *ident, int value);

    void write(QIODevice *device, qint64 extraSize) const override;
    QString toString() const override;
    void read(QDataStream &in) override;
    QVariant value() const override;

    const int &typedValue() const { return m_value; }

private:
    int m_value;
};

#endif // INTPACKAGE_H
