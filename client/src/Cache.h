#ifndef CACHE_H
#define CACHE_H

#include "BasicPackage.h"
#include "Identifier.h"

#include <QMap>
#include <QObject>

#include <mutex>

/// The last value package the server delivered for each identifier, handed
/// over from the worker thread that receives answers to the application thread
/// that reads them. Both threads use it at once, so every operation holds the
/// one lock for its whole duration and never calls out of the cache under it.
/// Keys are identifiers compared by their text form; the cache owns a clone of
/// each key and shares the packages with whoever got them.
class Cache : public QObject
{
    Q_OBJECT

public:
    explicit Cache(QObject *parent = nullptr);
    ~Cache() override;

    /// Stores `package` under `ident`; an existing entry keeps its key and gets
    /// the new package.
    void insert(const Identifier &ident, BasicPackagePtr package);
    /// The stored package, or null when there is none.
    BasicPackagePtr get(const Identifier &ident);
    /// Whether there was an entry to remove.
    bool remove(const Identifier &ident);
    void clear();
    bool contains(const Identifier &ident);

private:
    // A standard mutex rather than QMutex: ThreadSanitizer sees through it, so
    // the shared-state stress test runs clean without suppressions.
    std::mutex mutex;
    QMap<Identifier, BasicPackagePtr> values;
};

#endif // CACHE_H
