#include "ServerSettings.h"

#include "VdsProtocol.h"
#include "vedezid.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include <limits>

namespace {

bool parseNumber(const QString &text, qint64 min, qint64 max, qint64 *value)
{
    bool ok = false;
    *value = text.toLongLong(&ok);
    return ok && *value >= min && *value <= max;
}

} // namespace

bool ServerSettings::load(const QStringList &arguments, QString *error)
{
    getreg_LM_warnUnknown(VdsProtocol::Settings::Group, VdsProtocol::Settings::all());
    port = quint16(getreg_LM_long_checked(
        VdsProtocol::Settings::Group, VdsProtocol::Settings::ServerPort, DefaultPort, 1, 65535));
    encryption = getreg_LM_long_checked(
                     VdsProtocol::Settings::Group, VdsProtocol::Settings::Encryption, 0,
                     std::numeric_limits<int>::min(), std::numeric_limits<int>::max()) != 0;
    dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Local key/value data server for VelDataClient applications."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("TCP port on 127.0.0.1 and ::1; 0 picks a free one (default: the "
                       "\"serverPort\" setting, else 37073)."),
        QStringLiteral("port"));
    const QCommandLineOption dataDirOption(
        QStringLiteral("data-dir"),
        QStringLiteral("Folder of the database and of a generated certificate (default: %1).")
            .arg(QDir::toNativeSeparators(dataDir)),
        QStringLiteral("folder"));
    const QCommandLineOption certOption(QStringLiteral("tls-cert"),
                                        QStringLiteral("PEM certificate for TLS (used when the "
                                                       "\"encryption\" setting is not 0)."),
                                        QStringLiteral("file"));
    const QCommandLineOption keyOption(QStringLiteral("tls-key"),
                                       QStringLiteral("PEM private key matching --tls-cert."),
                                       QStringLiteral("file"));
    const QCommandLineOption memoryOption(QStringLiteral("in-memory"),
                                          QStringLiteral("Keep every value in memory only."));
    const QCommandLineOption frameOption(
        QStringLiteral("max-frame-size"),
        QStringLiteral("Largest frame accepted from a client, in bytes, except a file's "
                       "(default: %1).")
            .arg(DefaultMaxFrameSize),
        QStringLiteral("bytes"));
    const QCommandLineOption fileOption(
        QStringLiteral("max-file-size"),
        QStringLiteral("Largest file accepted from a client, in bytes; a file must also fit "
                       "in the free space of the data folder (default: %1).")
            .arg(DefaultMaxFileSize),
        QStringLiteral("bytes"));
    const QCommandLineOption fingerprintOption(
        QStringLiteral("print-fingerprint"),
        QStringLiteral("Print the SHA-256 fingerprint of the TLS certificate (generating it "
                       "if needed) and exit."));
    const QCommandLineOption logOption(
        QStringLiteral("log-file"),
        QStringLiteral("Write diagnostics to this file, capped in size with one older file "
                       "kept as <file>.1 (default: standard error on a terminal, else "
                       "VelDataServer.log in the data folder)."),
        QStringLiteral("file"));
    parser.addOptions({portOption, dataDirOption, certOption, keyOption, memoryOption, frameOption,
                       fileOption, fingerprintOption, logOption});
    parser.process(arguments);

    qint64 number = 0;
    if (parser.isSet(portOption)) {
        if (!parseNumber(parser.value(portOption), 0, 65535, &number)) {
            *error = QStringLiteral("invalid port: %1").arg(parser.value(portOption));
            return false;
        }
        port = quint16(number);
    }
    if (parser.isSet(frameOption)) {
        if (!parseNumber(parser.value(frameOption), 64, std::numeric_limits<qint64>::max(),
                         &number)) {
            *error =
                QStringLiteral("invalid maximum frame size: %1").arg(parser.value(frameOption));
            return false;
        }
        maxFrameSize = number;
    }
    if (parser.isSet(fileOption)) {
        if (!parseNumber(parser.value(fileOption), 0, std::numeric_limits<qint64>::max(),
                         &number)) {
            *error = QStringLiteral("invalid maximum file size: %1").arg(parser.value(fileOption));
            return false;
        }
        maxFileSize = number;
    }
    if (parser.isSet(dataDirOption))
        dataDir = parser.value(dataDirOption);
    if (dataDir.isEmpty()) {
        *error = QStringLiteral("no data folder: give one with --data-dir");
        return false;
    }
    tlsCertificate = parser.value(certOption);
    tlsKey = parser.value(keyOption);
    if (tlsCertificate.isEmpty() != tlsKey.isEmpty()) {
        *error = QStringLiteral("--tls-cert and --tls-key go together");
        return false;
    }
    inMemory = parser.isSet(memoryOption);
    logFile = parser.value(logOption);
    printFingerprint = parser.isSet(fingerprintOption);
    return true;
}
