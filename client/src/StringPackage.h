#ifndef STRINGPACKAGE_H
#define STRINGPACKAGE_H

#include "DataPackage.h"

/// A string value for one identifier (type code 3).
class StringPackage : public DataPackage
{
public:
    /// Takes ownership of `ident`.
    StringPackage(int packageId, IdentData *ident, const QString &value);

    void write(QIODevice *device, qint64 extraSize) const override;
    QString toString() const override;
    void read(QDataStream &in) override;
    QVariant value() const override;

    const QString &typedValue() const { return m_value; }

private:
    QString m_value;
};

#endif // STRINGPACKAGE_H
