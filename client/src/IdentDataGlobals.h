#ifndef IDENTDATAGLOBALS_H
#define IDENTDATAGLOBALS_H

#include "IdentData.h"

/// A value shared by all clients, named by a key alone (kind "globals"). The server pushes these;
/// clients serve them from their cache.
class IdentDataGlobals : public IdentData
{
public:
    IdentDataGlobals();
    explicit IdentDataGlobals(const QString &key);

    IdentData *clone() const override;
    QString description() const override;
    QDataStream &write(QDataStream &out) const override;
    QDataStream &readFields(QDataStream &in) override;

    const QString &key() const { return m_key; }

private:
    QString m_key;
};

#endif // IDENTDATAGLOBALS_H
