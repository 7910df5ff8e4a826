#ifndef IDENTDATAMQTT_H
#define IDENTDATAMQTT_H

#include "IdentData.h"

/// An MQTT value, named by its key (kind "mqtt"). Deliberately not a globals identifier: a type
/// test for globals must not match it.
class IdentDataMqtt : public IdentData
{
public:
    IdentDataMqtt();
    explicit IdentDataMqtt(const QString &key);

    IdentData *clone() const override;
    QString description() const override;
    QDataStream &write(QDataStream &out) const override;
    QDataStream &readFields(QDataStream &in) override;

    const QString &key() const { return m_key; }

private:
    QString m_key;
};

#endif // IDENTDATAMQTT_H
