#ifndef COMMANDPACKAGE_H
#define COMMANDPACKAGE_H

#include "BasicPackage.h"

#include <QStringList>

/// A free-form command with parameters, in either direction (type code 12).
/// The client acts on "clear clients cache" from the server.
class CommandPackage : public BasicPackage
{
public:
    CommandPackage(int packageId, const QString &command, const QStringList &params);

    void write(QIODevice *device, qint64 extraSize) const override;
    void read(QDataStream &in) override;

    const QString &command() const { return m_command; }
    const QStringList &params() const { return m_params; }

private:
    QString m_command;
    QStringList m_params;
};

#endif // COMMANDPACKAGE_H
