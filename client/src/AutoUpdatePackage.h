#ifndef AUTOUPDATEPACKAGE_H
#define AUTOUPDATEPACKAGE_H

#include "DataPackage.h"

/// Change notification for one value (type code 2): mode 1 switches it on,
/// 2 off (client to server); mode 3 reports a change (server to client).
class AutoUpdatePackage : public DataPackage
{
public:
    /// Takes ownership of `ident`.
    AutoUpdatePackage(int packageId, IdentData *ident, int mode);

    void write(QIODevice *device, qint64 extraSize) const override;
    void read(QDataStream &in) override;

    int mode() const { return m_mode; }

private:
    int m_mode;
};

#endif // AUTOUPDATEPACKAGE_H
