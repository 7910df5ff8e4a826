#include "TlsIdentity.h"

#include "ServerLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSslSocket>

namespace {

constexpr int OpensslTimeoutMs = 60000;

QByteArray readAll(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return QByteArray();
    }
    return file.readAll();
}

} // namespace

QString TlsIdentity::generatedCertificatePath(const QString &dataDir)
{
    return QDir(dataDir).filePath(QStringLiteral("tls-certificate.pem"));
}

QString TlsIdentity::generatedKeyPath(const QString &dataDir)
{
    return QDir(dataDir).filePath(QStringLiteral("tls-key.pem"));
}

bool TlsIdentity::load(const QString &certificatePath, const QString &keyPath,
                       const QString &dataDir, QString *error)
{
    if (!QSslSocket::supportsSsl()) {
        *error = QStringLiteral("TLS is not available: no usable OpenSSL library");
        return false;
    }
    QString certPath = certificatePath;
    QString privatePath = keyPath;
    if (certPath.isEmpty()) {
        certPath = generatedCertificatePath(dataDir);
        privatePath = generatedKeyPath(dataDir);
        if ((!QFile::exists(certPath) || !QFile::exists(privatePath)) &&
            !(QDir().mkpath(dataDir) && generate(certPath, privatePath, error)))
            return false;
    }
    const QByteArray certPem = readAll(certPath, error);
    const QByteArray keyPem = certPem.isEmpty() ? QByteArray() : readAll(privatePath, error);
    if (keyPem.isEmpty())
        return false;
    m_certificate = QSslCertificate(certPem, QSsl::Pem);
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Ec, QSsl::Rsa, QSsl::Dsa}) {
        m_key = QSslKey(keyPem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!m_key.isNull())
            break;
    }
    if (m_certificate.isNull() || m_key.isNull()) {
        *error = QStringLiteral("%1 or %2 holds no PEM certificate or private key")
                     .arg(certPath, privatePath);
        return false;
    }
    return true;
}

bool TlsIdentity::generate(const QString &certificatePath, const QString &keyPath, QString *error)
{
    // Written under temporary names and renamed, so an interrupted run never
    // leaves a half-written pair that later starts would trust.
    const QString certTemp = certificatePath + QStringLiteral(".new");
    const QString keyTemp = keyPath + QStringLiteral(".new");
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                   QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("3650"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1"),
                   QStringLiteral("-keyout"), keyTemp, QStringLiteral("-out"), certTemp});
    const bool ran = openssl.waitForFinished(OpensslTimeoutMs) &&
                     openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
    if (!ran) {
        *error = QStringLiteral("cannot generate a certificate with openssl: %1 %2")
                     .arg(openssl.errorString(), QString::fromLocal8Bit(openssl.readAll()));
        openssl.kill();
        openssl.waitForFinished();
        QFile::remove(certTemp);
        QFile::remove(keyTemp);
        return false;
    }
    QFile::setPermissions(keyTemp, QFile::ReadOwner | QFile::WriteOwner);
    QFile::remove(certificatePath);
    QFile::remove(keyPath);
    if (!QFile::rename(keyTemp, keyPath) || !QFile::rename(certTemp, certificatePath)) {
        *error = QStringLiteral("cannot store the generated certificate in %1")
                     .arg(QFileInfo(certificatePath).absolutePath());
        return false;
    }
    qCInfo(lcServer).noquote() << "generated a self-signed certificate:" << certificatePath;
    return true;
}
