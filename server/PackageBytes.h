#ifndef PACKAGEBYTES_H
#define PACKAGEBYTES_H

#include "BasicPackage.h"

#include <QByteArray>

/// Conversions between packages and the frame bytes the server stores and
/// sends, so that a value is stored in its canonical encoding and can be sent
/// back under any package id.
namespace PackageBytes {

/// The whole frame of `package`; `extraSize` counts content the caller sends
/// after it (a file's pieces).
QByteArray frame(const BasicPackage &package, qint64 extraSize = 0);

/// The package of class `type` read from `payload` (a frame without its
/// header), carrying `packageId`.
BasicPackagePtr package(int type, int packageId, const QByteArray &payload);

} // namespace PackageBytes

#endif // PACKAGEBYTES_H
