#ifndef VELDATACLIENTPRIVATE_H
#define VELDATACLIENTPRIVATE_H

#include "IdentDataRuntime.h"
#include "Identifier.h"
#include "PreProcessor.h"
#include "ThreadedClientHandler.h"
#include "VdsProtocol.h"
#include "VelDataClient.h"

class QThread;

/// What a VelDataClient holds beyond its handler and its id counter: the
/// handler thread, the change callback, and the request patterns that the
/// accessors share. It lives behind the exported class's one private pointer,
/// so that none of it is part of the library's binary interface.
class VelDataClientPrivate
{
public:
    explicit VelDataClientPrivate(VelDataClient *client) : q(client) {}

    /// Emits `signal` with a fresh id and waits for its answer.
    template <typename Signal, typename... Values>
    bool setAndWait(const Identifier &ident, Signal signal, const Values &...values);
    /// Fetches a runtime value; a null output returns 0 before anything
    /// else happens.
    template <typename T>
    int getRuntime(const QString &key, const QString &uuid,
                   bool (PreProcessor::*reader)(const Identifier &, T *), T *value);
    /// Globals and kind getters consume an id and create the handler before
    /// they look at the output pointer, and report a null one as a failure.
    template <typename T>
    int getByKey(const Identifier &ident, bool (PreProcessor::*reader)(const Identifier &, T *),
                 T *value);

    void deliverAutoUpdate(const Identifier &ident);
    /// Records a refused argument, on the handler when there is one already;
    /// a refusal that must not create it is kept here until it exists.
    void refuseArgument();

    VelDataClient *const q;
    QThread *handlerThread = nullptr;
    VelDataClient::AutoUpdateCallback autoUpdateCallback;
    VdsErrorCode codeBeforeHandler = VdsErrorNone;

private:
    template <typename T>
    int readAfterGet(const Identifier &ident, int packageId,
                     bool (PreProcessor::*reader)(const Identifier &, T *), T *value);
};

template <typename Signal, typename... Values>
bool VelDataClientPrivate::setAndWait(const Identifier &ident, Signal signal,
                                      const Values &...values)
{
    const int id = q->nextPackageId();
    ThreadedClientHandler *h = q->handler();
    emit(h->*signal)(ident, values..., id);
    return h->waitForResult(id, VdsProtocol::RequestTimeoutMs) > 0;
}

template <typename T>
int VelDataClientPrivate::readAfterGet(const Identifier &ident, int packageId,
                                       bool (PreProcessor::*reader)(const Identifier &, T *),
                                       T *value)
{
    ThreadedClientHandler *h = q->handler();
    if (!h->getValue(ident, packageId))
        return -1;
    return (h->preProcessor()->*reader)(ident, value) ? 1 : 0;
}

template <typename T>
int VelDataClientPrivate::getRuntime(const QString &key, const QString &uuid,
                                     bool (PreProcessor::*reader)(const Identifier &, T *),
                                     T *value)
{
    if (!value) {
        refuseArgument();
        return 0;
    }
    const Identifier ident(new IdentDataRuntime(key, uuid));
    return readAfterGet(ident, q->nextPackageId(), reader, value);
}

template <typename T>
int VelDataClientPrivate::getByKey(const Identifier &ident,
                                   bool (PreProcessor::*reader)(const Identifier &, T *), T *value)
{
    const int id = q->nextPackageId();
    q->handler();
    if (!value) {
        refuseArgument();
        return -1;
    }
    return readAfterGet(ident, id, reader, value);
}

#endif // VELDATACLIENTPRIVATE_H
