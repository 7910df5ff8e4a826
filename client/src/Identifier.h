#ifndef IDENTIFIER_H
#define IDENTIFIER_H

#include <QMetaType>
#include <QString>

class IdentData;
class QDataStream;

/// Owning handle to one IdentData, the form in which identifiers cross threads
/// and key the client cache. Copying clones the held object; a handle may hold
/// nothing. Handles order by the held identifier's text form, so two handles
/// name the same value exactly when their texts are equal.
///
/// The handle keeps that text beside the object, made whenever the held
/// object changes: a cache lookup compares a key with a dozen others, and
/// building both texts anew for every comparison was most of a lookup's
/// time. The held object is therefore only read through the handle. The text
/// is made eagerly, never in a const call, so a handle that several threads
/// read (or copy) at once is never written.
class Identifier
{
public:
    /// Holds a new identifier of kind "unknown".
    Identifier();
    /// Takes ownership of `data`, which may be null.
    explicit Identifier(IdentData *data);
    Identifier(const Identifier &other);
    Identifier(Identifier &&other) noexcept;
    Identifier &operator=(const Identifier &other);
    Identifier &operator=(Identifier &&other) noexcept;
    ~Identifier();

    const IdentData *data() const { return m_data; }
    bool isEmpty() const { return m_data == nullptr; }
    /// Replaces the held object (deleting the old one) by `data`, which may be null.
    void reset(IdentData *data = nullptr);
    /// A clone of the held object for a new owner, or null when empty.
    IdentData *cloneData() const;
    /// Hands the held object to the caller and leaves the handle empty.
    IdentData *take();

    /// OPC UA or MQTT identifier for `key` (`kind` as VdsProtocol::IdentifierConst
    /// numbers it); any other kind leaves the handle unchanged.
    void setFromConst(int kind, const QString &key);
    /// 1 runtime, 2 globals, 3 opcua, 4 mqtt, 0 anything else or empty.
    int typeIndex() const;
    /// The held identifier's text form; empty for an empty handle.
    const QString &toString() const { return m_text; }
    /// The held identifier's field text; empty for an empty handle.
    QString description() const;

    /// Reads what operator>> reads into a new object for the caller; never null.
    static IdentData *readData(QDataStream &in);

private:
    IdentData *m_data;
    QString m_text;
};

bool operator<(const Identifier &a, const Identifier &b);

/// Writes the held identifier's stream form (nothing for an empty handle).
QDataStream &operator<<(QDataStream &out, const Identifier &ident);
/// Reads a kind text and then the fields of the matching class; an unrecognised
/// kind gives an "unknown" identifier and reads no fields.
QDataStream &operator>>(QDataStream &in, Identifier &ident);

Q_DECLARE_METATYPE(Identifier)

#endif // IDENTIFIER_H
