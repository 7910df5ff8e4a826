#ifndef AUTOUPDATEPACKAGE_H
#define AUTOUPDATEPACKAGE_H

#include "DataPackage.h"

/// Change notification for one value (type code 2).
class AutoUpdatePackage : public DataPackage
{
public:
    enum Mode
    {
        On = 1,      ///< client to server: report changes of this value
        Off = 2,     ///< client to server: stop reporting them
        Changed = 3, ///< server to client: the value was set or removed
    };

    /// Takes ownership of `ident`.
    AutoUpdatePackage(int packageId, IdentData *ident, int mode);

    void write(QIODevice *device, qint64 extraSize) const override;
    void read(QDataStream &in) override;

    int mode() const { return m_mode; }

private:
    int m_mode;
};

#endif // AUTOUPDATEPACKAGE_H
