#include "vedezid.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace {

/// The keys stored under `keyPath` and the value of `valueName` among them
/// (invalid when there is none), with the file or registry path they come from.
struct SettingsGroup
{
    QString location;
    QStringList keys;
    QVariant value;
};

SettingsGroup readGroup(const char *keyPath, const char *valueName)
{
    QStringList parts =
        QString::fromLocal8Bit(keyPath).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    // QSettings puts the organisation below "Software" itself.
    if (!parts.isEmpty() &&
        parts.first().compare(QLatin1String("Software"), Qt::CaseInsensitive) == 0)
        parts.removeFirst();
    if (parts.size() < 2)
        return {};

    QSettings settings(QSettings::NativeFormat, QSettings::SystemScope, parts.at(0), parts.at(1));
    // Exactly the named key, not the organisation-wide defaults.
    settings.setFallbacksEnabled(false);
    settings.beginGroup(parts.mid(2).join(QLatin1Char('/')));
    SettingsGroup group;
    group.location = settings.fileName();
    // Listing the keys makes Qt parse the whole INI file first: a single lookup
    // parses only one section and can miss a value of [Settings] when a section
    // such as [Settings/Nested] follows it.
    group.keys = settings.childKeys();
    const QString name = QString::fromLocal8Bit(valueName ? valueName : "");
    if (!name.isEmpty())
        group.value = settings.value(name);
    return group;
}

QVariant readSetting(const char *keyPath, const char *valueName)
{
    return valueName && *valueName ? readGroup(keyPath, valueName).value : QVariant();
}

/// Warns about a setting once per process: settings are read again on every
/// request that needs them, and one line per mistake is what helps.
void warnOnce(const QString &text)
{
    static QMutex mutex;
    static QSet<QString> *const warned = new QSet<QString>;
    {
        QMutexLocker lock(&mutex);
        if (warned->contains(text))
            return;
        warned->insert(text);
    }
    qWarning("%s", qUtf8Printable(text));
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

long getreg_LM_long_checked(const char *keyPath, const char *valueName, long defaultValue,
                            long minimum, long maximum)
{
    const SettingsGroup group = readGroup(keyPath, valueName);
    if (!group.value.isValid())
        return defaultValue;
    const QString text = group.value.toString().trimmed();
    bool ok = false;
    const long value = text.toInt(&ok, 10);
    QString problem;
    if (!ok)
        problem = QStringLiteral("is not a whole number");
    else if (value < minimum || value > maximum)
        problem = QStringLiteral("is outside %1 to %2").arg(minimum).arg(maximum);
    else
        return value;
    // A text with commas reads back as a list; a value set in this process
    // keeps its own type, such as a number.
    const QString shown = group.value.userType() == QMetaType::QStringList
                              ? group.value.toStringList().join(QLatin1Char(','))
                              : group.value.toString();
    warnOnce(QStringLiteral("settings: %1: %2=\"%3\" %4; the default %5 is used")
                 .arg(group.location, QString::fromLocal8Bit(valueName), shown, problem)
                 .arg(defaultValue));
    return defaultValue;
}

void getreg_LM_warnUnknown(const char *keyPath, const QStringList &knownNames)
{
    const SettingsGroup group = readGroup(keyPath, nullptr);
    for (const QString &key : group.keys) {
        if (!knownNames.contains(key))
            warnOnce(QStringLiteral("settings: %1: unknown key \"%2\" is ignored (known: %3)")
                         .arg(group.location, key, knownNames.join(QStringLiteral(", "))));
    }
}
