#ifndef NESTEDVARIANT_H
#define NESTEDVARIANT_H

#include <QByteArray>
#include <QVariant>

/// Variants nested many levels deep, in the stream form packages carry, and
/// the measure of how deep a variant that was read goes.
class NestedVariant
{
public:
    enum Shape
    {
        List,    // a QVariantList holding the next level as its one element
        Map,     // a QVariantMap holding it under the key "k"
        Hash,    // a QVariantHash holding it under the key "k"
        Wrapped, // a variant whose value is the next level's variant
        Cbor,    // a QCborValue of arrays, each holding the next as its one element
    };

    /// The payload of a variant package: an MQTT identifier, then a variant
    /// `depth` levels deep (at least 1) whose innermost level is the int 7.
    static QByteArray payload(Shape shape, int depth);
    /// How many levels `value` has along its first elements; 0 when it is
    /// invalid, -1 when its innermost level is not the int 7.
    static int depthOf(const QVariant &value);
};

#endif // NESTEDVARIANT_H
