#ifndef SERVERSETTINGS_H
#define SERVERSETTINGS_H

#include "VdsProtocol.h"

#include <QString>
#include <QStringList>

/// What the server runs with: the machine-wide settings the client reads too
/// ("serverPort", "encryption"), overridden by the command line. Started
/// without arguments, as the client's autostart does, it yields the defaults,
/// so the configuration file serves client and server alike.
class ServerSettings
{
public:
    static constexpr quint16 DefaultPort = VdsProtocol::Settings::DefaultServerPort;
    static constexpr qint64 DefaultMaxFrameSize = qint64(1) << 30;
    static constexpr qint64 DefaultMaxFileSize = qint64(16) << 30;

    /// Reads the settings and parses `arguments` (program name first). Prints
    /// help or version and exits for --help and --version; returns false with
    /// `error` set for an unusable option value.
    bool load(const QStringList &arguments, QString *error);

    quint16 port = DefaultPort;
    /// Holds the database and a generated certificate.
    QString dataDir;
    bool inMemory = false;
    bool encryption = false;
    /// Empty when the server should use (or generate) its own in `dataDir`.
    QString tlsCertificate;
    QString tlsKey;
    /// Largest frame accepted from a client, header included; a file's
    /// frame is not held in memory and has a limit of its own.
    qint64 maxFrameSize = DefaultMaxFrameSize;
    /// Largest file content accepted from a client, in bytes.
    qint64 maxFileSize = DefaultMaxFileSize;
    /// Where diagnostics go; empty for the default: standard error on a
    /// terminal, else VelDataServer.log in `dataDir`.
    QString logFile;
    /// Print the TLS certificate's fingerprint and exit instead of serving.
    bool printFingerprint = false;
};

#endif // SERVERSETTINGS_H
