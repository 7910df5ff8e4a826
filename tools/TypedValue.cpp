#include "TypedValue.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <cmath>
#include <limits>

namespace {

struct TypeName
{
    TypedValue::Type type;
    const char *name;
};

const TypeName typeNames[] = {
    {TypedValue::Int, "int"},   {TypedValue::Double, "double"},   {TypedValue::String, "string"},
    {TypedValue::Bool, "bool"}, {TypedValue::Strings, "strings"}, {TypedValue::Doubles, "doubles"},
    {TypedValue::Ints, "ints"}, {TypedValue::Variant, "variant"}, {TypedValue::File, "file"},
};

QString formatDouble(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

bool parseInt(const QString &item, int *value, QString *error)
{
    bool ok = false;
    *value = item.trimmed().toInt(&ok, 10);
    if (!ok)
        *error = QStringLiteral("'%1' is not an int").arg(item);
    return ok;
}

bool parseDouble(const QString &item, double *value, QString *error)
{
    bool ok = false;
    *value = item.trimmed().toDouble(&ok);
    if (!ok)
        *error = QStringLiteral("'%1' is not a number").arg(item);
    return ok;
}

bool parseFiniteDouble(const QString &item, double *value, QString *error)
{
    if (!parseDouble(item, value, error))
        return false;
    if (std::isfinite(*value))
        return true;
    *error =
        QStringLiteral("'%1' is not a finite number; give --allow-nonfinite to store it").arg(item);
    return false;
}

// JSON has no NaN or infinity: they are written as the text the plain output
// shows ("nan", "inf", "-inf") rather than as null.
QJsonValue doubleToJson(double value)
{
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue(formatDouble(value));
}

bool parseBool(const QString &item, bool *value, QString *error)
{
    const QString word = item.trimmed().toLower();
    static const QStringList yes{"true", "1", "yes", "on"};
    static const QStringList no{"false", "0", "no", "off"};
    *value = yes.contains(word);
    if (!*value && !no.contains(word)) {
        *error = QStringLiteral("'%1' is not a bool (true or false)").arg(item);
        return false;
    }
    return true;
}

// JSON has only one number type; a whole number is taken as the int a user
// who writes 5 means, anything else as a double.
QVariant fromJson(const QJsonValue &json)
{
    if (json.isDouble()) {
        const double number = json.toDouble();
        if (std::floor(number) == number && number >= std::numeric_limits<int>::min() &&
            number <= std::numeric_limits<int>::max())
            return int(number);
        return number;
    }
    if (json.isArray()) {
        QVariantList list;
        for (const QJsonValue &item : json.toArray())
            list.append(fromJson(item));
        return list;
    }
    if (json.isObject()) {
        QVariantMap map;
        const QJsonObject object = json.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            map.insert(it.key(), fromJson(it.value()));
        return map;
    }
    return json.toVariant();
}

QVariant variantFromText(const QString &text)
{
    // QJsonDocument reads only arrays and objects; wrapping the text in an
    // array also accepts a bare number, string, bool or null.
    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray("[") + text.toUtf8() + QByteArray("]"), &error);
    if (error.error != QJsonParseError::NoError || document.array().size() != 1)
        return text;
    return fromJson(document.array().first());
}

QVariantList variantItems(const QVariant &variant)
{
    const int type = variant.userType();
    if (type == qMetaTypeId<QList<int>>()) {
        QVariantList items;
        for (int item : variant.value<QList<int>>())
            items.append(item);
        return items;
    }
    if (type == qMetaTypeId<QList<double>>()) {
        QVariantList items;
        for (double item : variant.value<QList<double>>())
            items.append(item);
        return items;
    }
    return variant.toList();
}

bool isVariantList(const QVariant &variant)
{
    const int type = variant.userType();
    return type == QMetaType::QVariantList || type == QMetaType::QStringList ||
           type == qMetaTypeId<QList<int>>() || type == qMetaTypeId<QList<double>>();
}

QJsonValue variantToJson(const QVariant &variant)
{
    if (isVariantList(variant)) {
        QJsonArray array;
        for (const QVariant &item : variantItems(variant))
            array.append(variantToJson(item));
        return array;
    }
    if (variant.userType() == QMetaType::QVariantMap) {
        QJsonObject object;
        const QVariantMap map = variant.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            object.insert(it.key(), variantToJson(it.value()));
        return object;
    }
    if (variant.userType() == QMetaType::Double || variant.userType() == QMetaType::Float)
        return doubleToJson(variant.toDouble());
    return QJsonValue::fromVariant(variant);
}

QString variantLine(const QVariant &variant)
{
    switch (variant.userType()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return formatDouble(variant.toDouble());
    case QMetaType::Bool:
        return variant.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::QVariantMap:
        return QString::fromUtf8(
            QJsonDocument(variantToJson(variant).toObject()).toJson(QJsonDocument::Compact));
    default:
        break;
    }
    if (isVariantList(variant))
        return QString::fromUtf8(
            QJsonDocument(variantToJson(variant).toArray()).toJson(QJsonDocument::Compact));
    return variant.toString();
}

// Every item in turn; a list type keeps them all, a single value the one.
template <typename T>
bool parseItems(TypedValue::Type type, const QStringList &items,
                bool (*parseItem)(const QString &, T *, QString *), TypedValue *value,
                QString *error)
{
    QList<T> parsed;
    for (const QString &item : items) {
        T one{};
        if (!parseItem(item, &one, error))
            return false;
        parsed.append(one);
    }
    *value = TypedValue(type, TypedValue::isList(type) ? QVariant::fromValue(parsed)
                                                       : QVariant::fromValue(parsed.first()));
    return true;
}

} // namespace

TypedValue::TypedValue(Type type, const QVariant &data) : m_type(type), m_data(data) {}

bool TypedValue::typeFromName(const QString &name, Type *type)
{
    for (const TypeName &entry : typeNames) {
        if (name == QLatin1String(entry.name)) {
            *type = entry.type;
            return true;
        }
    }
    return false;
}

QString TypedValue::typeName(Type type)
{
    for (const TypeName &entry : typeNames) {
        if (entry.type == type)
            return QLatin1String(entry.name);
    }
    return QString();
}

bool TypedValue::isList(Type type)
{
    return type == Strings || type == Doubles || type == Ints;
}

QString TypedValue::article(const QString &word)
{
    return QStringLiteral("aeiou").contains(word.left(1).toLower()) && !word.isEmpty()
               ? QStringLiteral("an")
               : QStringLiteral("a");
}

bool TypedValue::parse(Type type, const QStringList &items, TypedValue *value, QString *error,
                       bool allowNonFinite)
{
    if (!isList(type) && items.size() != 1) {
        *error = QStringLiteral("%1 %2 value takes exactly one argument")
                     .arg(article(typeName(type)), typeName(type));
        return false;
    }
    switch (type) {
    case Int:
    case Ints:
        return parseItems<int>(type, items, parseInt, value, error);
    case Double:
    case Doubles:
        return parseItems<double>(type, items, allowNonFinite ? parseDouble : parseFiniteDouble,
                                  value, error);
    case Bool:
        return parseItems<bool>(type, items, parseBool, value, error);
    case String:
        *value = TypedValue(type, items.first());
        return true;
    case Strings:
        *value = TypedValue(type, items);
        return true;
    case Variant:
        *value = TypedValue(type, variantFromText(items.first()));
        return true;
    case File:
        break;
    }
    *error = QStringLiteral("files are stored with put-file");
    return false;
}

TypedValue TypedValue::fromVariant(const QVariant &variant)
{
    switch (variant.userType()) {
    case QMetaType::Int:
        return TypedValue(Int, variant);
    case QMetaType::Double:
        return TypedValue(Double, variant);
    case QMetaType::QString:
        return TypedValue(String, variant);
    case QMetaType::Bool:
        return TypedValue(Bool, variant);
    case QMetaType::QStringList:
        return TypedValue(Strings, variant);
    default:
        return TypedValue(Variant, variant);
    }
}

QStringList TypedValue::lines() const
{
    switch (m_type) {
    case Int:
    case String:
        return {m_data.toString()};
    case Double:
        return {formatDouble(m_data.toDouble())};
    case Bool:
        return {m_data.toBool() ? QStringLiteral("true") : QStringLiteral("false")};
    case Strings:
        return m_data.toStringList();
    case Ints:
    case Doubles:
    case Variant: {
        if (m_type == Variant && !isVariantList(m_data))
            return {variantLine(m_data)};
        QStringList lines;
        for (const QVariant &item : variantItems(m_data))
            lines.append(variantLine(item));
        return lines;
    }
    case File:
        break;
    }
    return {};
}

QJsonValue TypedValue::toJson() const
{
    switch (m_type) {
    case Int:
        return m_data.toInt();
    case Double:
        return doubleToJson(m_data.toDouble());
    case String:
        return m_data.toString();
    case Bool:
        return m_data.toBool();
    case Strings:
    case Ints:
    case Doubles:
    case Variant:
        return variantToJson(m_data);
    case File:
        break;
    }
    return QJsonValue();
}
