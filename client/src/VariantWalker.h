#ifndef VARIANTWALKER_H
#define VARIANTWALKER_H

class QDataStream;
class QVariant;

/// Looks at a variant's stream form before Qt's reader is given it.
///
/// Qt's variant reader trusts what the bytes announce: it reserves room for a
/// list count, sizes a text, a byte array or a CBOR container from its length,
/// and calls itself once per nesting level. The walker reads the same bytes
/// the way Qt would, without allocating from any announced length, and says
/// whether Qt may read them. Where it may not, the walker gives the value Qt
/// would end with had it the memory and the stack, so that the result does
/// not depend on whether a length was checked.
class VariantWalker
{
public:
    /// When the variant at the stream's position must not be read by Qt:
    /// sets `value` to what it reads as, consumes the rest, fails the stream
    /// and returns true. Otherwise returns false and leaves the stream as it
    /// was.
    static bool takeUnreadable(QDataStream &in, QVariant &value);
};

#endif // VARIANTWALKER_H
