#include "VelDataClientPrivate.h"

#include "IdentDataGlobals.h"
#include "IdentDataMqtt.h"
#include "IdentDataOpcua.h"

namespace {

QString keyOf(const IdentData *data)
{
    if (auto r = dynamic_cast<const IdentDataRuntime *>(data))
        return r->key();
    if (auto g = dynamic_cast<const IdentDataGlobals *>(data))
        return g->key();
    if (auto o = dynamic_cast<const IdentDataOpcua *>(data))
        return o->key();
    if (auto m = dynamic_cast<const IdentDataMqtt *>(data))
        return m->key();
    return QString();
}

} // namespace

void VelDataClientPrivate::deliverAutoUpdate(const Identifier &ident)
{
    if (!autoUpdateCallback)
        return;
    const IdentData *data = ident.data();
    const auto *rt = dynamic_cast<const IdentDataRuntime *>(data);
    // A copy, so that the callback may replace itself.
    const VelDataClient::AutoUpdateCallback callback = autoUpdateCallback;
    callback(data ? data->kindName() : QString(), keyOf(data), rt ? rt->uuid() : QString());
}

void VelDataClientPrivate::refuseArgument()
{
    if (q->m_handler)
        q->m_handler->setLastErrorCode(VdsErrorBadArgument);
    else
        codeBeforeHandler = VdsErrorBadArgument;
}
