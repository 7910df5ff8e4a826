#include "PackageBytes.h"

#include "HeaderDecoder.h"

#include <QBuffer>

namespace PackageBytes {

QByteArray frame(const BasicPackage &package, qint64 extraSize)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    package.write(&buffer, extraSize);
    return buffer.data();
}

BasicPackagePtr package(int type, int packageId, const QByteArray &payload)
{
    return createPackage(type, packageId, {new QByteArray(payload)});
}

} // namespace PackageBytes
