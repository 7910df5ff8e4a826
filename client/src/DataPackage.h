#ifndef DATAPACKAGE_H
#define DATAPACKAGE_H

#include "BasicPackage.h"

#include <QVariant>

class IdentData;

/// A package about one value: it owns the value's identifier, written between
/// the header and the value fields. Base of the value packages and of the get,
/// remove and change-notification requests.
class DataPackage : public BasicPackage
{
public:
    ~DataPackage() override;

    void write(QIODevice *device, qint64 extraSize) const override;
    void read(QDataStream &in) override;
    /// The value as a variant; invalid for packages without one.
    virtual QVariant value() const;

    /// The owned identifier; may be null.
    IdentData *ident() const { return m_ident; }

protected:
    /// Takes ownership of `ident`, which may be null.
    DataPackage(int type, int packageId, IdentData *ident);

private:
    IdentData *m_ident;
};

#endif // DATAPACKAGE_H
