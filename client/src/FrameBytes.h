#ifndef FRAMEBYTES_H
#define FRAMEBYTES_H

#include "BasicPackage.h"

#include <QByteArray>

/// The one place where packages become frame bytes and frame bytes become
/// packages outside a connection's decoder: the server stores and resends
/// values in their canonical encoding, and the fakes and tests build the
/// frames they send and read the frames they receive through it, so that
/// every side of the project speaks exactly the bytes the packages write.
class FrameBytes
{
public:
    /// What a frame's 16-byte header says.
    struct Header
    {
        int type = 0;
        int packageId = 0;
        qint64 payloadSize = 0;
    };

    /// The whole frame of `package`; `extraSize` counts content the caller
    /// sends after it (a file's pieces).
    static QByteArray encode(const BasicPackage &package, qint64 extraSize = 0);
    /// A bare header with any payload size, also one that no payload follows
    /// (hostile and malformed frames).
    static QByteArray header(int type, int packageId, qint64 payloadSize);
    /// `payload` behind a header announcing exactly its size.
    static QByteArray frame(int type, int packageId, const QByteArray &payload);
    /// Reads the header at the start of `bytes`; false when fewer than
    /// HeaderSize bytes are there.
    static bool readHeader(const QByteArray &bytes, Header *header);
    /// `frame` with the package id in its header replaced by `packageId`.
    static QByteArray withPackageId(QByteArray frame, int packageId);
    /// The package of class `type` read from `payload` (a frame without its
    /// header), carrying `packageId`; null for a type without a class.
    static BasicPackagePtr decodePayload(int type, int packageId, const QByteArray &payload);
    /// The package of one whole frame, as a connection's decoder delivers it;
    /// null when `frame` is not exactly one frame of a known type.
    static BasicPackagePtr decode(const QByteArray &frame);
};

#endif // FRAMEBYTES_H
