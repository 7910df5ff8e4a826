#ifndef BASICPACKAGE_H
#define BASICPACKAGE_H

#include <QDataStream>
#include <QList>
#include <QSharedPointer>
#include <QString>

class QByteArray;
class QIODevice;

/// Root of every package exchanged with the server. A package is one frame: a
/// 16-byte header (type code, package id, payload size; big-endian) and its
/// payload. Each class writes only its own fields and lets its base go first,
/// passing down how many bytes it adds, so the header already carries the
/// total. Received packages are filled once from the decoder's chunks and are
/// not changed afterwards, which is what makes sharing them across threads
/// through BasicPackagePtr safe.
class BasicPackage
{
public:
    /// Every stream the protocol opens uses this version (Qt 5.6 encoding).
    static constexpr int StreamVersion = QDataStream::Qt_5_6;
    static constexpr int HeaderSize = 16;

    enum Type
    {
        Action = 1,
        AutoUpdate = 2,
        String = 3,
        Double = 4,
        Int = 5,
        Bool = 6,
        StringList = 7,
        DoubleList = 8,
        IntList = 9,
        File = 10,
        Variant = 11,
        Command = 12,
        Response = 14,
        Identify = 15,
        StatusAgent = 16,
    };

    virtual ~BasicPackage();

    /// Writes the whole frame to `device`; callers pass `extraSize` 0.
    virtual void write(QIODevice *device, qint64 extraSize) const;
    /// Diagnostic text of the package's value.
    virtual QString toString() const;
    /// Reads the payload fields. Never fails: short data leaves defaults.
    virtual void read(QDataStream &in);
    /// Offered the payload chunks before read(); only file packages keep them.
    virtual void setChunks(QList<QByteArray *> &chunks);

    /// Fills the package from a received payload.
    void fromChunks(QList<QByteArray *> &chunks);

    int type() const { return m_type; }
    int packageId() const { return m_packageId; }

protected:
    BasicPackage(int type, int packageId);
    BasicPackage(const BasicPackage &) = delete;
    BasicPackage &operator=(const BasicPackage &) = delete;

    /// Reads a text field. Qt reads a length word that the payload does not
    /// reach as an empty string; a field the payload does not reach is null.
    static QDataStream &readText(QDataStream &in, QString &text);

    /// Serialises `fill`'s writes into a fresh version-17 byte array.
    template <typename Fill>
    static QByteArray encode(Fill fill)
    {
        QByteArray bytes;
        Encoder encoder(&bytes);
        fill(encoder.stream());
        return bytes;
    }

private:
    /// A data stream writing into one byte array, for encode(). Every write
    /// of a package encodes three times (header, identifier, value), and a
    /// QDataStream on a byte array makes and destroys a QBuffer each time,
    /// about a tenth of a frame decoder's time under ASan, so each thread
    /// keeps one stream and device for the purpose; a nested encode() gets a
    /// stream of its own.
    class Encoder
    {
    public:
        explicit Encoder(QByteArray *bytes);
        ~Encoder();
        Encoder(const Encoder &) = delete;
        Encoder &operator=(const Encoder &) = delete;
        QDataStream &stream() { return *m_stream; }

    private:
        QDataStream *m_stream;
        bool m_shared;
    };

    const int m_type;
    const int m_packageId;
};

using BasicPackagePtr = QSharedPointer<BasicPackage>;

#endif // BASICPACKAGE_H
