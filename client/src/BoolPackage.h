#ifndef BOOLPACKAGE_H
#define BOOLPACKAGE_H

#include "DataPackage.h"

/// A boolean value for one identifier (type code 6); any non-zero byte reads as true.
class BoolPackage : public DataPackage
{
public:
    /// Takes ownership of `ident`.
    BoolPackage(int packageId, IdentData *ident, bool value);

    void write(QIODevice *device, qint64 extraSize) const override;
    QString toString() const override;
    void read(QDataStream &in) override;
    QVariant value() const override;

    const bool &typedValue() const { return m_value; }

private:
    bool m_value;
};

#endif // BOOLPACKAGE_H
