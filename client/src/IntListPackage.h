#ifndef INTLISTPACKAGE_H
#define INTLISTPACKAGE_H

#include "DataPackage.h"

/// A list of 32-bit integers for one identifier (type code 9). Its text form
/// formats the numbers as doubles (1234567 reads 1.23457e+06), as the server's
/// tools expect.
class IntListPackage : public DataPackage
{
public:
    /// Takes ownership of `ident`.
    IntListPackage(int packageId, IdentData *ident, const QList<qint32> &value);

    void write(QIODevice *device, qint64 extraSize) const override;
    QString toString() const override;
    void read(QDataStream &in) override;
    QVariant value() const override;

    const QList<qint32> &typedValue() const { return m_value; }

private:
    QList<qint32> m_value;
};

#endif // INTLISTPACKAGE_H
