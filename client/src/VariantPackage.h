#ifndef VARIANTPACKAGE_H
#define VARIANTPACKAGE_H

#include "DataPackage.h"

/// A variant value for one identifier (type code 11), in QDataStream's own
/// QVariant encoding. Lists of int, double and QPoint inside it travel only
/// once their stream operators are registered (ListTypes). A received value
/// that Qt could not write again (a date-time in a time zone unknown here)
/// reads as an invalid variant.
class VariantPackage : public DataPackage
{
public:
    /// The deepest nesting of lists, maps and variants holding variants that
    /// is read (the package's value is level 1). Qt's reader calls itself once
    /// a level, so a deeper value, which could overflow the reading thread's
    /// stack, is refused: it reads as an invalid variant.
    static constexpr int MaxNestingDepth = 100;

    /// Takes ownership of `ident`.
    VariantPackage(int packageId, IdentData *ident, const QVariant &value);

    void write(QIODevice *device, qint64 extraSize) const override;
    QString toString() const override;
    void read(QDataStream &in) override;
    QVariant value() const override;

    const QVariant &typedValue() const { return m_value; }

private:
    QVariant m_value;
};

#endif // VARIANTPACKAGE_H
