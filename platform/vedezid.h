#ifndef VEDEZID_H
#define VEDEZID_H

#include <QStringList>

#include <string>

/// Reads a 32-bit whole number from the machine-wide settings. `keyPath` is a
/// registry-style path "Software\<organisation>\<application>\<group...>";
/// the value is read through QSettings in native format and system scope, which
/// is the HKEY_LOCAL_MACHINE key on Windows and, elsewhere, the INI file
/// <organisation>/<application>.conf in the first folder of XDG_CONFIG_DIRS
/// (/etc/xdg by default), section [<group>]. A missing value, or one that is
/// not a whole number within 32 bits, yields `defaultValue`; `*found`, when
/// `found` is not null, tells whether a valid value was read. Every call reads
/// afresh, so changes of the file show at the next call. Safe from any thread.
long getreg_LM_long(const char *keyPath, const char *valueName, long defaultValue, bool *found);

/// Reads a text value from the same place by the same rules, in the local
/// 8-bit encoding; a missing value, or a list, yields `defaultValue`.
std::string getreg_LM_string(const char *keyPath, const char *valueName,
                             const std::string &defaultValue, bool *found);

/// Reads a whole number as getreg_LM_long does, within `minimum` to `maximum`.
/// A value that is present but not a whole number or out of range yields
/// `defaultValue`, and a warning naming the file, the key, the value and the
/// default is logged (once per process for each such value).
long getreg_LM_long_checked(const char *keyPath, const char *valueName, long defaultValue,
                            long minimum, long maximum);

/// Logs a warning (once per process) for each key under `keyPath` that is not
/// one of `knownNames`: a misspelt key would otherwise be ignored in silence.
void getreg_LM_warnUnknown(const char *keyPath, const QStringList &knownNames);

#endif // VEDEZID_H
