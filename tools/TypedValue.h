#ifndef TYPEDVALUE_H
#define TYPEDVALUE_H

#include <QJsonValue>
#include <QList>
#include <QMetaType>
#include <QStringList>
#include <QVariant>

/// A value together with the type it is stored as, and its text forms: the
/// command line's items it is parsed from, and the lines and JSON it is
/// printed as.
class TypedValue
{
public:
    enum Type
    {
        Int,
        Double,
        String,
        Bool,
        Strings,
        Doubles,
        Ints,
        Variant,
        File,
    };

    TypedValue() = default;
    TypedValue(Type type, const QVariant &data);

    /// The names `--type` takes: int, double, string, bool, strings, doubles,
    /// ints, variant (and "file" for what getDataType reports).
    static bool typeFromName(const QString &name, Type *type);
    static QString typeName(Type type);
    static bool isList(Type type);

    /// Parses the command line's items: exactly one for a scalar or a variant,
    /// any number for a list. A variant item is read as JSON (a whole number
    /// within the int range becomes an int), or as a plain string when it is
    /// not JSON. NaN and infinities are refused as doubles unless
    /// `allowNonFinite`: they are mostly typing slips, and JSON cannot hold them.
    static bool parse(Type type, const QStringList &items, TypedValue *value, QString *error,
                      bool allowNonFinite = false);
    /// "a" or "an", as fits `word` ("an int", "a double").
    static QString article(const QString &word);
    /// The closest typed value for a plain variant (a globals value, or one
    /// read without knowing its type).
    static TypedValue fromVariant(const QVariant &variant);

    Type type() const { return m_type; }
    const QVariant &data() const { return m_data; }
    QList<int> ints() const { return m_data.value<QList<int>>(); }
    QList<double> doubles() const { return m_data.value<QList<double>>(); }

    /// The text form: one line for a scalar, one line per item for a list.
    QStringList lines() const;
    QJsonValue toJson() const;

private:
    Type m_type = String;
    QVariant m_data;
};

#endif // TYPEDVALUE_H
