#ifndef IDENTDATAOPCUA_H
#define IDENTDATAOPCUA_H

#include "IdentData.h"

/// An OPC UA value, named by its key (kind "opcua"). Deliberately not a globals identifier: a type
/// test for globals must not match it.
class IdentDataOpcua : public IdentData
{
public:
    IdentDataOpcua();
    explicit IdentDataOpcua(const QString &key);

    IdentData *clone() const override;
    QString description() const override;
    QDataStream &write(QDataStream &out) const override;
    QDataStream &readFields(QDataStream &in) override;

    const QString &key() const { return m_key; }

private:
    QString m_key;
};

#endif // IDENTDATAOPCUA_H
