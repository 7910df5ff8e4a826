#ifndef RESPONSEPACKAGE_H
#define RESPONSEPACKAGE_H

#include "BasicPackage.h"

/// The server's outcome of one request (type code 14).
class ResponsePackage : public BasicPackage
{
public:
    enum Code
    {
        Done = 2,             ///< the request was carried out
        Accepted = 3,         ///< done as well; clients do not tell it from Done
        NotFound = 4,         ///< done, but there was no such value (`message` names it)
        Failed = 5,           ///< not done; `message` says why
        InitAcknowledged = 6, ///< the answer to a client's IdentifyPackage
    };

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
