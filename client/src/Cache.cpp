#include "Cache.h"

#include <QMutexLocker>

Cache::Cache(QObject *parent) : QObject(parent) {}

Cache::~Cache()
{
    clear();
}

void Cache::insert(const Identifier &ident, BasicPackagePtr package)
{
    QMutexLocker lock(&mutex);
    values.insert(ident, std::move(package));
}

BasicPackagePtr Cache::get(const Identifier &ident)
{
    QMutexLocker lock(&mutex);
    return values.value(ident);
}

bool Cache::remove(const Identifier &ident)
{
    QMutexLocker lock(&mutex);
    return values.remove(ident) > 0;
}

void Cache::clear()
{
    QMutexLocker lock(&mutex);
    values.clear();
}

bool Cache::contains(const Identifier &ident)
{
    QMutexLocker lock(&mutex);
    return values.contains(ident);
}
