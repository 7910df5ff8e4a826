#ifndef RESPONSEPACKAGE_H
#define RESPONSEPACKAGE_H

#include "BasicPackage.h"

/// The server's outcome of one request (type code 14): 2 and 3 done, 4 done
/// with nothing to do, 5 failed with `message`, 6 the INIT acknowledgement.
class ResponsePackage : public BasicPackage
{
public:
    ResponsePackage(int packageId, int responseCode, const QString &message);

    void write(QIODevice *device, qint64 extraSize) const override;
    void read(QDataStream &in) override;

    int responseCode() const { return m_responseCode; }
    const QString &message() const { return m_message; }

private:
    int m_responseCode;
    QString m_message;
};

#endif // RESPONSEPACKAGE_H
