#ifndef STATUSAGENTPACKAGE_H
#define STATUSAGENTPACKAGE_H

#include "BasicPackage.h"

/// A status text reported by the client (type code 16).
class StatusAgentPackage : public BasicPackage
{
public:
    StatusAgentPackage(int packageId, const QString &status);

    void write(QIODevice *device, qint64 extraSize) const override;
    void read(QDataStream &in) override;

    const QString &status() const { return m_status; }

private:
    QString m_status;
};

#endif // STATUSAGENTPACKAGE_H
