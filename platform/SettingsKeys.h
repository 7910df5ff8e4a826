#ifndef SETTINGSKEYS_H
#define SETTINGSKEYS_H

#include <QStringList>

/// The machine-wide settings that the client library and the server read, in
/// the registry key (or INI file, see vedezid.h) below, with their defaults.
namespace SettingsKeys {

constexpr char Group[] = "Software\\Haltra\\VelDataServer\\Settings";

constexpr char ServerPort[] = "serverPort";
constexpr long DefaultServerPort = 37073;
/// Not 0: the connection uses TLS.
constexpr char Encryption[] = "encryption";
/// 0: a client must not start the server itself.
constexpr char StartServerOnRequest[] = "startServerOnRequest";
/// SHA-256 digest (hex) of the certificate a TLS client accepts.
constexpr char ServerCertificateSha256[] = "serverCertificateSha256";

inline QStringList all()
{
    return {QLatin1String(ServerPort), QLatin1String(Encryption),
            QLatin1String(StartServerOnRequest), QLatin1String(ServerCertificateSha256)};
}

} // namespace SettingsKeys

#endif // SETTINGSKEYS_H
