#include "VelDataClientWrapper.h"

#include "VelDataClient.h"
#include "ztrace.h"

VelDataClientWrapper::VelDataClientWrapper()
{
    ZTRACE(5, "VDS: VelDataClientWrapper constructor");
}

VelDataClientWrapper::~VelDataClientWrapper()
{
    ZTRACE(5, "VDS: VelDataClientWrapper destructor");
    delete m_client;
}

VelDataClient *VelDataClientWrapper::getClient()
{
    if (!m_client)
        m_client = new VelDataClient;
    return m_client;
}
