#ifndef IDENTIFYPACKAGE_H
#define IDENTIFYPACKAGE_H

#include "BasicPackage.h"

/// The client's announcement right after connecting (type code 15): the host
/// program's path and a flag.
class IdentifyPackage : public BasicPackage
{
public:
    IdentifyPackage(int packageId, const QString &clientName, bool clientFlag);

    void write(QIODevice *device, qint64 extraSize) const override;
    void read(QDataStream &in) override;

    const QString &clientName() const { return m_clientName; }
    bool clientFlag() const { return m_clientFlag; }

private:
    QString m_clientName;
    bool m_clientFlag;
};

#endif // IDENTIFYPACKAGE_H
