#include "net/trustedca.h"
#include "net/httpclient.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace {
constexpr qint64 MaxCaFileBytes = 4 * 1024 * 1024;
} // namespace

namespace TrustedCa {

QString configuredFile()
{
    const QString fromEnvironment = qEnvironmentVariable("TVR_CA_FILE").trimmed();
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QSettings store(QStringLiteral("Tolvarsoft"), QStringLiteral("tolvar-storage-qt"));
    return store.value(QStringLiteral("network/caFile")).toString().trimmed();
}

QString installConfigured()
{
    const QString path = configuredFile();
    return path.isEmpty() ? QString() : installFile(path);
}

QString installFile(const QString &path)
{
    const QString shown = QDir::toNativeSeparators(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("无法读取证书文件：%1").arg(shown);
    // Read with a bound: the path may name a device or a pipe, whose size says nothing.
    const QByteArray pem = file.read(MaxCaFileBytes + 1);
    if (pem.size() > MaxCaFileBytes)
        return QStringLiteral("证书文件过大：%1").arg(shown);
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(pem, QSsl::Pem);
    QList<QSslCertificate> usable;
    for (const QSslCertificate &certificate : certificates) {
        if (!certificate.isNull())
            usable.append(certificate);
    }
    if (usable.isEmpty())
        return QStringLiteral("证书文件中没有可用的证书：%1").arg(shown);
    // An explicit list replaces the system's store, which Qt otherwise loads on demand: keep it.
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    QList<QSslCertificate> trusted = configuration.caCertificates();
    if (trusted.isEmpty())
        trusted = QSslConfiguration::systemCaCertificates();
    for (const QSslCertificate &certificate : usable) {
        if (!trusted.contains(certificate))
            trusted.append(certificate);
    }
    configuration.setCaCertificates(trusted);
    QSslConfiguration::setDefaultConfiguration(configuration);
    // Connections kept open from before still carry the old configuration.
    HttpClient::instance()->network()->clearConnectionCache();
    return {};
}

} // namespace TrustedCa
