// The client against the reference server over HTTPS, with a certificate authority made for the
// run: without trusting it every kind of connection fails as it must; trusted through the
// client's own setting, sign-in, a chunked upload (the chunk connections) and a download work.
#include "account/authwindow.h"
#include "app/startup.h"
#include "net/httpclient.h"
#include "net/httpconnection.h"
#include "net/session.h"
#include "net/trustedca.h"
#include "referenceserver.h"
#include "testsettings.h"
#include "transfer/transfermanager.h"
#include "transferkit.h"
#include "update/updatechecker.h"

#include <QCheckBox>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSettings>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <optional>

namespace {
constexpr qint64 ServerChunk = 256 * 1024;

// Runs openssl with `args` in `dir`; empty on success, else what it said.
QString openssl(const QString &dir, const QStringList &args)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(QStringLiteral("openssl"), args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("openssl %1: %2")
            .arg(args.join(' '), QString::fromLocal8Bit(process.readAllStandardError()));
    return {};
}

} // namespace

class TestTlsE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void serverSpeaksHttpsOnly();
    void untrustedCertificateFailsEveryConnection();
    void unusableCaFileIsSaidOnTheSignInWindow();
    void trustedCaCarriesSignInUploadAndDownload();
    void longTargetIsRefusedWith414OverTls();

private:
    QString makeCertificates();

    QTemporaryDir m_settingsDir;
    QTemporaryDir m_pki;
    QTemporaryDir m_work;
    QSslConfiguration m_systemOnly;
    std::unique_ptr<ReferenceServer> m_server;
};

QString TestTlsE2E::makeCertificates()
{
    const QString dir = m_pki.path();
    QFile extensions(m_pki.filePath(QStringLiteral("server.ext")));
    if (!extensions.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write server.ext");
    extensions.write("basicConstraints=CA:FALSE\n"
                     "keyUsage=digitalSignature,keyEncipherment\n"
                     "extendedKeyUsage=serverAuth\n"
                     "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    extensions.close();
    const QList<QStringList> steps = {
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", "ca.key",
         "-out", "ca.pem", "-days", "2", "-subj", "/CN=Tolvar Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
        {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", "server.key", "-out",
         "server.csr", "-subj", "/CN=127.0.0.1"},
        {"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-out",
         "server.pem", "-days", "2", "-extfile", "server.ext"},
    };
    for (const QStringList &step : steps) {
        const QString error = openssl(dir, step);
        if (!error.isEmpty())
            return error;
    }
    return {};
}

void TestTlsE2E::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    qunsetenv("TVR_CA_FILE");
    m_systemOnly = QSslConfiguration::defaultConfiguration();
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty(), "openssl is not installed");
    const QString made = makeCertificates();
    QVERIFY2(made.isEmpty(), qPrintable(made));

    ReferenceServer::Options options;
    options.chunkSize = ServerChunk;
    options.extraArgs = {QStringLiteral("--tls-cert"), m_pki.filePath(QStringLiteral("server.pem")),
                         QStringLiteral("--tls-key"), m_pki.filePath(QStringLiteral("server.key"))};
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    QVERIFY2(m_server->baseUrl().startsWith(QLatin1String("https://127.0.0.1:")), qPrintable(m_server->baseUrl()));
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    Session::instance()->machineCode = QStringLiteral("MJ-0000-0000-0000-0007");
}

void TestTlsE2E::cleanupTestCase()
{
    m_server.reset();
    QSslConfiguration::setDefaultConfiguration(m_systemOnly);
}

void TestTlsE2E::serverSpeaksHttpsOnly()
{
    // Plain HTTP to the TLS port gets no answer the client could take for the service's.
    QString plain = m_server->baseUrl();
    plain.replace(QLatin1String("https://"), QLatin1String("http://"));
    QNetworkAccessManager network;
    QNetworkReply *reply = network.get(QNetworkRequest(QUrl(plain + QStringLiteral("/api/version"))));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(15000));
    QVERIFY(reply->error() != QNetworkReply::NoError);
    QVERIFY(!reply->readAll().contains("success"));
    delete reply;

    // The version and help texts are there without a certificate or a display.
    QProcess server;
    server.start(QStringLiteral(TVR_SERVER_BINARY), {QStringLiteral("--version")});
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitCode(), 0);
    QCOMPARE(server.readAllStandardOutput().trimmed(), QByteArray("tolvar-server ") + UpdateChecker::CurrentVersion);
    server.start(QStringLiteral(TVR_SERVER_BINARY),
                 {QStringLiteral("--tls-cert"), m_pki.filePath("server.pem"), QStringLiteral("--listen"),
                  QStringLiteral("127.0.0.1:0"), QStringLiteral("--data"), m_work.path()});
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitCode(), 2); // a certificate without its key is refused before anything starts
    QVERIFY(server.readAllStandardError().contains("--tls-key"));
}

void TestTlsE2E::untrustedCertificateFailsEveryConnection()
{
    QSslConfiguration::setDefaultConfiguration(m_systemOnly);
    const QString refused = QStringLiteral("安全连接失败：服务器证书无效或不受信任");

    std::optional<HttpResponse> answer;
    HttpClient::instance()->get(QStringLiteral("/api/version"),
                                [&](const HttpResponse &response) { answer = response; });
    QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 15000);
    QVERIFY(!answer->ok);
    QCOMPARE(answer->error, refused);

    // The chunk connection is a socket of its own: it refuses the certificate as well.
    HttpConnection connection;
    std::optional<HttpResponse> chunk;
    QNetworkRequest request(HttpClient::instance()->buildUrl(QStringLiteral("/api/upload/chunk/x/0")));
    connection.send("PUT", request, QByteArray(16, 'x'), [&](const HttpResponse &response) { chunk = response; });
    QTRY_VERIFY_WITH_TIMEOUT(chunk.has_value(), 15000);
    QVERIFY(!chunk->ok);
    QCOMPARE(chunk->error, refused);
}

void TestTlsE2E::unusableCaFileIsSaidOnTheSignInWindow()
{
    QFile junk(m_work.filePath(QStringLiteral("junk.pem")));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n");
    junk.close();
    QCOMPARE(TrustedCa::installFile(junk.fileName()),
             QStringLiteral("证书文件中没有可用的证书：%1").arg(QDir::toNativeSeparators(junk.fileName())));
    QVERIFY(TrustedCa::installFile(m_work.filePath(QStringLiteral("missing.pem"))).startsWith("无法读取证书文件："));
    QCOMPARE(TrustedCa::installFile(QStringLiteral("/dev/zero")), QStringLiteral("证书文件过大：/dev/zero"));

    qputenv("TVR_CA_FILE", m_work.filePath(QStringLiteral("missing.pem")).toUtf8());
    {
        Startup startup;
        startup.showSignIn();
        QVERIFY(startup.signInWindow());
        QVERIFY(startup.signInWindow()->findChild<QLabel *>("FormSub")->text().startsWith("无法读取证书文件："));
    }
    qunsetenv("TVR_CA_FILE");
    QCOMPARE(QSslConfiguration::defaultConfiguration().caCertificates(), m_systemOnly.caCertificates());

    // Without the variable, the settings file names the authority; the variable wins over it.
    QSettings(QStringLiteral("Tolvarsoft"), QStringLiteral("tolvar-storage-qt"))
        .setValue(QStringLiteral("network/caFile"), QStringLiteral("/etc/company-ca.pem"));
    QCOMPARE(TrustedCa::configuredFile(), QStringLiteral("/etc/company-ca.pem"));
    qputenv("TVR_CA_FILE", "/elsewhere.pem");
    QCOMPARE(TrustedCa::configuredFile(), QStringLiteral("/elsewhere.pem"));
    qunsetenv("TVR_CA_FILE");
    QSettings(QStringLiteral("Tolvarsoft"), QStringLiteral("tolvar-storage-qt")).remove(QStringLiteral("network"));
}

void TestTlsE2E::trustedCaCarriesSignInUploadAndDownload()
{
    QSslConfiguration::setDefaultConfiguration(m_systemOnly);
    qputenv("TVR_CA_FILE", m_pki.filePath(QStringLiteral("ca.pem")).toUtf8());
    QCOMPARE(TrustedCa::configuredFile(), m_pki.filePath(QStringLiteral("ca.pem")));
    QCOMPARE(TrustedCa::installConfigured(), QString());
    qunsetenv("TVR_CA_FILE");
    // The system's authorities stay trusted beside the added one.
    const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
    QVERIFY(!system.isEmpty());
    QCOMPARE(QSslConfiguration::defaultConfiguration().caCertificates().size(), system.size() + 1);

    // Sign-in through the window, as a person does it.
    Session::instance()->clear();
    AuthWindow window;
    window.show();
    window.findChild<QLineEdit *>("UsernameEdit")->setText(QStringLiteral("tlsuser"));
    window.findChild<QLineEdit *>("PhoneEdit")->setText(QStringLiteral("13812340077"));
    window.findChild<QCheckBox *>("Agree")->setChecked(true);
    auto *label = window.findChild<QLabel *>("FormSub");
    QTest::mouseClick(window.findChild<QPushButton *>("GetCode"), Qt::LeftButton);
    QTRY_VERIFY2_WITH_TIMEOUT(!window.findChild<QLineEdit *>("CodeEdit")->text().isEmpty(), qPrintable(label->text()),
                              15000);
    QSignalSpy loginOk(&window, &AuthWindow::loginOk);
    QTest::mouseClick(window.findChild<QPushButton *>("BigGold"), Qt::LeftButton);
    QVERIFY2(loginOk.wait(15000), qPrintable(label->text()));
    QVERIFY(!Session::instance()->token.isEmpty());

    // A chunked upload: the chunks go over the client's own TLS connections.
    const QString source = m_work.filePath(QStringLiteral("secure.bin"));
    {
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QByteArray bytes(int(ServerChunk * 6 + 777), Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
        file.write(bytes);
    }
    TransferManager manager;
    TransferTask *upload = manager.addUpload(source, QString());
    QTRY_VERIFY2_WITH_TIMEOUT(!upload->isUnfinished() || upload->state() == TransferTask::State::Failed,
                              qPrintable(upload->error()), 60000);
    QCOMPARE(upload->state(), TransferTask::State::Finished);
    const QString id = jsonText(upload->fileRecord(), QStringLiteral("id"));
    QVERIFY(!id.isEmpty());

    TransferTask *download = manager.addDownload(QStringLiteral("/api/files/%1/download").arg(id), m_work.path(),
                                                 QStringLiteral("back.bin"));
    QTRY_VERIFY2_WITH_TIMEOUT(!download->isUnfinished() || download->state() == TransferTask::State::Failed,
                              qPrintable(download->error()), 60000);
    QCOMPARE(download->state(), TransferTask::State::Finished);
    QCOMPARE(md5OfFile(m_work.filePath(QStringLiteral("back.bin"))), md5OfFile(source));
}

void TestTlsE2E::longTargetIsRefusedWith414OverTls()
{
    // The target's bound holds behind TLS as well: the server answers and stays up.
    QNetworkAccessManager network;
    const QString target = m_server->baseUrl() + QStringLiteral("/pay/") + QString(30000, QLatin1Char('A'));
    std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(QUrl(target))));
    reply->ignoreSslErrors();
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    QVERIFY(finished.wait(15000));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 414);
    QVERIFY(m_server->isRunning());
}

QTEST_MAIN(TestTlsE2E)
#include "tst_tls_e2e.moc"
