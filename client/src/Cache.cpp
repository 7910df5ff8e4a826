#include "Cache.h"

Cache::Cache(QObject *parent) : QObject(parent) {}

Cache::~Cache()
{
    clear();
}

void Cache::insert(const Identifier &ident, BasicPackagePtr package)
{
    std::lock_guard<std::mutex> lock(mutex);
    values.insert(ident, std::move(package));
}

BasicPackagePtr Cache::get(const Identifier &ident)
{
    std::lock_guard<std::mutex> lock(mutex);
    return values.value(ident);
}

bool Cache::remove(const Identifier &ident)
{
    std::lock_guard<std::mutex> lock(mutex);
    return values.remove(ident) > 0;
}

void Cache::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    values.clear();
}

bool Cache::contains(const Identifier &ident)
{
    std::lock_guard<std::mutex> lock(mutex);
    return values.contains(ident);
}
