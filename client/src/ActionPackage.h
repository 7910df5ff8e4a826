#ifndef ACTIONPACKAGE_H
#define ACTIONPACKAGE_H

#include "DataPackage.h"

/// Asks the server to do something with one value (type code 1): action 1
/// sends the value back, action 2 removes it.
class ActionPackage : public DataPackage
{
public:
    /// Takes ownership of `ident`.
    ActionPackage(int packageId, IdentData *ident, int action);

    void write(QIODevice *device, qint64 extraSize) const override;
    void read(QDataStream &in) override;

    int action() const { return m_action; }

private:
    int m_action;
};

#endif // ACTIONPACKAGE_H
