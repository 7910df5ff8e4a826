#include "vedezid.h"

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace {

/// The stored value of `valueName`, or an invalid variant when there is none.
QVariant readSetting(const char *keyPath, const char *valueName)
{
    QStringList parts =
        QString::fromLocal8Bit(keyPath).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    // QSettings puts the organisation below "Software" itself.
    if (!parts.isEmpty() &&
        parts.first().compare(QLatin1String("Software"), Qt::CaseInsensitive) == 0)
        parts.removeFirst();
    const QString name = QString::fromLocal8Bit(valueName);
    if (parts.size() < 2 || name.isEmpty())
        return QVariant();

    QSettings settings(QSettings::NativeFormat, QSettings::SystemScope, parts.at(0), parts.at(1));
    // Exactly the named key, not the organisation-wide defaults.
    settings.setFallbacksEnabled(false);
    settings.beginGroup(parts.mid(2).join(QLatin1Char('/')));
    // Listing the keys makes Qt parse the whole INI file first: a single lookup
    // parses only one section and can miss a value of [Settings] when a section
    // such as [Settings/Nested] follows it.
    settings.childKeys();
    return settings.value(name);
}

} // namespace

long getreg_LM_long(const char *keyPath, const char *valueName, long defaultValue, bool *found)
{
    if (found)
        *found = false;
    // Registry DWORDs arrive as numbers, INI values as text; a list or any
    // other shape has no text form and counts as missing.
    bool ok = false;
    const int value = readSetting(keyPath, valueName).toString().trimmed().toInt(&ok, 10);
    if (!ok)
        return defaultValue;
    if (found)
        *found = true;
    return value;
}

std::string getreg_LM_string(const char *keyPath, const char *valueName,
                             const std::string &defaultValue, bool *found)
{
    if (found)
        *found = false;
    const QVariant stored = readSetting(keyPath, valueName);
    // A list has no single text form and counts as missing, as with numbers.
    if (!stored.isValid() || stored.userType() == QMetaType::QStringList ||
        !stored.canConvert<QString>())
        return defaultValue;
    if (found)
        *found = true;
    return stored.toString().toLocal8Bit().toStdString();
}
