#ifndef IDENTDATARUNTIME_H
#define IDENTDATARUNTIME_H

#include "IdentData.h"

/// A runtime value, named by a key and a uuid (kind "runtime"). A null and an
/// empty uuid print alike but differ on the wire.
class IdentDataRuntime : public IdentData
{
public:
    IdentDataRuntime();
    IdentDataRuntime(const QString &key, const QString &uuid);

    IdentData *clone() const override;
    QString description() const override;
    QDataStream &write(QDataStream &out) const override;
    QDataStream &readFields(QDataStream &in) override;

    const QString &key() const { return m_key; }
    const QString &uuid() const { return m_uuid; }

private:
    QString m_key;
    QString m_uuid;
};

#endif // IDENTDATARUNTIME_H
