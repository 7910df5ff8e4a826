#ifndef IDENTIFIER_H
#define IDENTIFIER_H

#include "VdsTypes.h"

#include <QMetaType>
#include <QString>

class IdentData;
class QDataStream;

/// Owning handle to one IdentData, the form in which identifiers cross threads
/// and key the client cache. Copying clones the held object; a handle may hold
/// nothing. Handles order by the held identifier's text form, so two handles
/// name the same value exactly when their texts are equal.
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

    IdentData *data() const { return m_data; }
    bool isEmpty() const { return m_data == nullptr; }
    /// Replaces the held object (deleting the old one) by `data`, which may be null.
    void reset(IdentData *data = nullptr);
    /// A clone of the held object for a new owner, or null when empty.
    IdentData *cloneData() const;
    /// Hands the held object to the caller and leaves the handle empty.
    IdentData *take();

    /// OPC UA or MQTT identifier for `key`; any other kind leaves the handle unchanged.
    void setFromConst(VDS_IDENT_CONSTS kind, const QString &key);
    /// 1 runtime, 2 globals, 3 opcua, 4 mqtt, 0 anything else or empty.
    int typeIndex() const;
    /// The held identifier's text form; empty for an empty handle.
    QString toString() const;
    /// The held identifier's field text; empty for an empty handle.
    QString description() const;

private:
    IdentData *m_data;
};

bool operator<(const Identifier &a, const Identifier &b);

/// Writes the held identifier's stream form (nothing for an empty handle).
QDataStream &operator<<(QDataStream &out, const Identifier &ident);
/// Reads a kind text and then the fields of the matching class; an unrecognised
/// kind gives an "unknown" identifier and reads no fields.
QDataStream &operator>>(QDataStream &in, Identifier &ident);

Q_DECLARE_METATYPE(Identifier)

#endif // IDENTIFIER_H
