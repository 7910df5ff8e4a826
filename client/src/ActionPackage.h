#ifndef ACTIONPACKAGE_H
#define ACTIONPACKAGE_H

#include "DataPackage.h"

/// Asks the server to do something with one value (type code 1).
class ActionPackage : public DataPackage
{
public:
    enum Operation
    {
        Get = 1,    ///< the server answers with the stored value package
        Remove = 2, ///< the server removes the value
    };

    /// Takes ownership of `ident`.
    ActionPackage(int packageId, IdentData *ident, int action);

    void write(QIODevice *device, qint64 extraSize) const override;
    void read(QDataStream &in) override;

    int action() const { return m_action; }

private:
    int m_action;
};

#endif // ACTIONPACKAGE_H
