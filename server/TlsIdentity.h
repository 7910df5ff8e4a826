#ifndef TLSIDENTITY_H
#define TLSIDENTITY_H

#include <QCryptographicHash>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

/// The certificate and private key the server presents to TLS clients: the
/// configured pair, or a self-signed one for localhost, 127.0.0.1 and ::1 that
/// is generated once into the data folder with the openssl tool and reused on
/// every later start, so a client that pins it keeps working.
class TlsIdentity
{
public:
    /// Loads `certificatePath` and `keyPath`; when both are empty, the pair in
    /// `dataDir`, generating it first if it is missing.
    bool load(const QString &certificatePath, const QString &keyPath, const QString &dataDir,
              QString *error);

    const QSslCertificate &certificate() const { return m_certificate; }
    const QSslKey &key() const { return m_key; }
    /// SHA-256 digest of the certificate in lower-case hex, the value a client
    /// pins as "serverCertificateSha256".
    QByteArray fingerprint() const
    {
        return m_certificate.digest(QCryptographicHash::Sha256).toHex();
    }

    static QString generatedCertificatePath(const QString &dataDir);
    static QString generatedKeyPath(const QString &dataDir);

private:
    static bool generate(const QString &certificatePath, const QString &keyPath, QString *error);

    QSslCertificate m_certificate;
    QSslKey m_key;
};

#endif // TLSIDENTITY_H
