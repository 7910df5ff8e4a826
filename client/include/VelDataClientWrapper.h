#ifndef VELDATACLIENTWRAPPER_H
#define VELDATACLIENTWRAPPER_H

#include "veldataclient_export.h"

class VelDataClient;

/// Owns one VelDataClient, created on first use. Cannot be copied, so two
/// wrappers never delete one client.
class VELDATACLIENT_EXPORT VelDataClientWrapper
{
public:
    VelDataClientWrapper();
    ~VelDataClientWrapper();
    VelDataClientWrapper(const VelDataClientWrapper &) = delete;
    VelDataClientWrapper &operator=(const VelDataClientWrapper &) = delete;

    /// The wrapper's client, created on the first call; the wrapper keeps
    /// ownership.
    VelDataClient *getClient();

private:
    VelDataClient *m_client = nullptr;
};

#endif // VELDATACLIENTWRAPPER_H
