// A company proxy that asks for an account, against the reference server: requests, chunked
// uploads and downloads get through it with the right account, a refused or missing account
// reaches the user as the proxy's Chinese text, and the password lives in the credential store,
// never in the settings file.
#include "eventwait.h"
#include "net/httpclient.h"
#include "net/memorycredentialstore.h"
#include "net/session.h"
#include "referenceserver.h"
#include "testproxy.h"
#include "testsettings.h"
#include "transfer/transfermanager.h"
#include "transferkit.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <memory>

namespace {
using State = TransferTask::State;
using Mode = TransferSettings::ProxyMode;
constexpr qint64 MiB = 1024 * 1024;
const QByteArray ProxyUser = "zhang.wei";
// Characters a Basic header and a SOCKS5 login must carry unchanged.
const QString ProxyPassword = QStringLiteral("Pa:ss w0rd-7");
const QString NeedsAccount = QStringLiteral("代理服务器需要身份验证，请在传输设置中填写代理账号和密码");
const QString AccountRefused = QStringLiteral("代理服务器拒绝了代理账号或密码，请在传输设置中检查");

HttpResponse getThroughClient(const QString &path)
{
    HttpResponse answer;
    bool done = false;
    HttpClient::instance()->get(path, [&](const HttpResponse &response) {
        answer = response;
        done = true;
    });
    if (!waitUntil([&] { return done; }, 30000))
        answer.error = QStringLiteral("no answer");
    return answer;
}
} // namespace

class TestProxyAccountE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void accountProxyCarriesRequestsChunksAndDownloads_data();
    void accountProxyCarriesRequestsChunksAndDownloads();
    void refusedOrMissingAccountSaysSoInChinese_data();
    void refusedOrMissingAccountSaysSoInChinese();
    void proxyPasswordGoesToTheStoreNeverTheSettingsFile();
    void unreachableKeyringIsToldAndNothingIsWritten();

private:
    TransferSettings viaProxy(Mode mode, const QString &user, const QString &password) const;
    QString settingsFileText() const;

    QTemporaryDir m_settingsDir;
    QTemporaryDir m_work;
    std::unique_ptr<ReferenceServer> m_server;
    ReferenceServer::Credentials m_user;
    std::unique_ptr<TestProxy> m_proxy;
    std::unique_ptr<MemoryCredentialStore> m_store;
    std::unique_ptr<TransferManager> m_manager;
    QString m_dir;
};

void TestProxyAccountE2E::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    ReferenceServer::Options options;
    options.chunkSize = MiB;
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_user = m_server->signIn(QStringLiteral("proxy_account"), QStringLiteral("13912340077"));
    QVERIFY(m_user.isValid());
    QVERIFY(Session::instance()->applyLogin(m_user.login));
}

void TestProxyAccountE2E::cleanupTestCase()
{
    m_server.reset();
}

void TestProxyAccountE2E::init()
{
    m_dir = m_work.filePath(QString::fromLatin1(QTest::currentTestFunction()) + QLatin1Char('-') +
                            QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(QDir().mkpath(m_dir));
    m_proxy = std::make_unique<TestProxy>();
    QVERIFY(m_proxy->listen());
    m_proxy->requireAccount(ProxyUser, ProxyPassword.toUtf8());
    m_store = std::make_unique<MemoryCredentialStore>();
    m_manager = std::make_unique<TransferManager>();
    m_manager->setCredentialStore(m_store.get());
}

void TestProxyAccountE2E::cleanup()
{
    // The proxy belongs to the client as a whole: back to none for the next test.
    if (m_manager)
        m_manager->applySettings(TransferSettings(), false);
    m_manager.reset();
    m_store.reset();
    m_proxy.reset();
}

TransferSettings TestProxyAccountE2E::viaProxy(Mode mode, const QString &user, const QString &password) const
{
    TransferSettings settings;
    settings.proxyMode = mode;
    settings.proxyHost = QStringLiteral("127.0.0.1");
    settings.proxyPort = m_proxy->port();
    settings.proxyUser = user;
    settings.proxyPassword = password;
    return settings;
}

QString TestProxyAccountE2E::settingsFileText() const
{
    QSettings settings(QStringLiteral("Tolvarsoft"), QStringLiteral("tolvar-storage-qt"));
    settings.sync();
    QFile file(settings.fileName());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void TestProxyAccountE2E::accountProxyCarriesRequestsChunksAndDownloads_data()
{
    QTest::addColumn<int>("modeValue");
    QTest::newRow("http") << int(Mode::Http);
    QTest::newRow("socks5") << int(Mode::Socks5);
}

void TestProxyAccountE2E::accountProxyCarriesRequestsChunksAndDownloads()
{
    QFETCH(int, modeValue);
    const auto mode = Mode(modeValue);
    m_manager->applySettings(viaProxy(mode, QString::fromUtf8(ProxyUser), ProxyPassword), false);

    const HttpResponse listing = getThroughClient(QStringLiteral("/api/profile"));
    QVERIFY2(listing.ok, qPrintable(listing.error));

    // Several chunks, so the chunk connections carry the account as well as the access manager.
    const QString big = QDir(m_dir).filePath(QStringLiteral("big.bin"));
    QVERIFY(writeRandomFile(big, 3 * MiB + 100, 31));
    TransferTask *chunked = m_manager->addUpload(big, QString());
    QVERIFY2(waitUntil([&] { return settled(chunked, State::Finished) || settled(chunked, State::Failed); }, 60000),
             qPrintable(chunked->stateText()));
    QVERIFY2(settled(chunked, State::Finished), qPrintable(chunked->error()));
    const QString id = jsonText(chunked->fileRecord(), QStringLiteral("id"));
    QVERIFY(!id.isEmpty());

    TransferTask *download =
        m_manager->addDownload(QStringLiteral("/api/files/%1/download").arg(id), m_dir, QStringLiteral("back.bin"));
    QVERIFY2(waitUntil([&] { return settled(download, State::Finished) || settled(download, State::Failed); }, 60000),
             qPrintable(download->stateText()));
    QVERIFY2(settled(download, State::Finished), qPrintable(download->error()));
    QCOMPARE(md5OfFile(QDir(m_dir).filePath(QStringLiteral("back.bin"))), md5OfFile(big));

    const QByteArray server = QUrl(m_server->baseUrl()).authority().toLatin1();
    if (mode == Mode::Http) {
        const QByteArray base = "http://" + server;
        QVERIFY2(m_proxy->count("PUT " + base + "/api/upload/chunk/") == 4, m_proxy->seen().join('\n').constData());
        QCOMPARE(m_proxy->count("GET " + base + "/api/files/" + id.toLatin1() + "/download"), 1);
    } else {
        QVERIFY2(m_proxy->count("SOCKS5 " + server) >= 1, m_proxy->seen().join('\n').constData());
        QVERIFY2(m_proxy->refused().isEmpty(), m_proxy->refused().join('\n').constData());
    }
}

void TestProxyAccountE2E::refusedOrMissingAccountSaysSoInChinese_data()
{
    QTest::addColumn<int>("modeValue");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("expected");
    QTest::newRow("http, no account") << int(Mode::Http) << QString() << QString() << NeedsAccount;
    QTest::newRow("http, wrong password")
        << int(Mode::Http) << QString::fromUtf8(ProxyUser) << QStringLiteral("nope") << AccountRefused;
    QTest::newRow("socks5, wrong password")
        << int(Mode::Socks5) << QString::fromUtf8(ProxyUser) << QStringLiteral("nope") << AccountRefused;
}

void TestProxyAccountE2E::refusedOrMissingAccountSaysSoInChinese()
{
    QFETCH(int, modeValue);
    const auto mode = Mode(modeValue);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, expected);
    m_manager->applySettings(viaProxy(mode, user, password), false);

    const HttpResponse listing = getThroughClient(QStringLiteral("/api/profile"));
    QVERIFY(!listing.ok);
    QCOMPARE(listing.error, expected);
    QVERIFY2(!m_proxy->refused().isEmpty(), m_proxy->seen().join('\n').constData());

    // The chunk connections say the same, and the job fails instead of waiting for the network.
    const QString big = QDir(m_dir).filePath(QStringLiteral("refused.bin"));
    QVERIFY(writeRandomFile(big, 2 * MiB, 32));
    TransferTask *chunked = m_manager->addUpload(big, QString());
    QVERIFY2(waitUntil([&] { return settled(chunked, State::Failed); }, 60000), qPrintable(chunked->stateText()));
    QCOMPARE(chunked->error(), expected);
}

void TestProxyAccountE2E::proxyPasswordGoesToTheStoreNeverTheSettingsFile()
{
    const TransferSettings chosen = viaProxy(Mode::Http, QString::fromUtf8(ProxyUser), ProxyPassword);
    QSignalSpy problems(m_manager.get(), &TransferManager::credentialProblem);
    m_manager->applySettings(chosen, true);
    QVERIFY(
        waitUntil([&] { return m_store->entries().contains(QString::fromLatin1(TransferManager::ProxyPasswordKey)); }));
    QCOMPARE(m_store->entries().value(QString::fromLatin1(TransferManager::ProxyPasswordKey)), ProxyPassword);
    const QString file = settingsFileText();
    QVERIFY2(file.contains(QString::fromUtf8(ProxyUser)), qPrintable(file));
    QVERIFY2(!file.contains(QStringLiteral("Pa:ss")) && !file.contains(QStringLiteral("w0rd-7")), qPrintable(file));
    QVERIFY(TransferSettings::load().proxyPassword.isEmpty());

    // The next start reads the account from the file and the password from the store.
    TransferManager next;
    next.setCredentialStore(m_store.get());
    next.restoreSettings();
    QVERIFY(waitUntil([&] { return next.settings().proxyPassword == ProxyPassword; }));
    QCOMPARE(next.settings(), chosen);
    QCOMPARE(HttpClient::instance()->proxy().user(), QString::fromUtf8(ProxyUser));
    QCOMPARE(HttpClient::instance()->proxy().password(), ProxyPassword);
    QVERIFY(getThroughClient(QStringLiteral("/api/profile")).ok);

    // Without the account the password leaves the store too.
    next.applySettings(viaProxy(Mode::Http, QString(), QString()), true);
    QVERIFY(waitUntil([&] { return m_store->entries().isEmpty(); }));
    QCOMPARE(problems.count(), 0);
}

void TestProxyAccountE2E::unreachableKeyringIsToldAndNothingIsWritten()
{
    m_store->setUnavailable(true);
    QSignalSpy problems(m_manager.get(), &TransferManager::credentialProblem);
    m_manager->applySettings(viaProxy(Mode::Http, QString::fromUtf8(ProxyUser), ProxyPassword), true);
    QVERIFY(problems.wait(5000));
    QCOMPARE(problems.first().first().toString(),
             QStringLiteral("代理密码未能保存到系统密钥环（系统密钥环不可用），只在本次运行中有效"));
    // Still good for this run, and still nowhere on disk.
    QCOMPARE(HttpClient::instance()->proxy().password(), ProxyPassword);
    QVERIFY(getThroughClient(QStringLiteral("/api/profile")).ok);
    const QString file = settingsFileText();
    QVERIFY2(!file.contains(QStringLiteral("Pa:ss")) && !file.contains(QStringLiteral("w0rd-7")), qPrintable(file));

    // The next start cannot read it either, and says what to do.
    TransferManager next;
    next.setCredentialStore(m_store.get());
    QSignalSpy nextProblems(&next, &TransferManager::credentialProblem);
    next.restoreSettings();
    QVERIFY(nextProblems.wait(5000));
    QCOMPARE(nextProblems.first().first().toString(),
             QStringLiteral("无法从系统密钥环读取代理密码（系统密钥环不可用），请在传输设置中重新填写"));
    QCOMPARE(next.settings().proxyUser, QString::fromUtf8(ProxyUser));
    QVERIFY(next.settings().proxyPassword.isEmpty());
}

QTEST_MAIN(TestProxyAccountE2E)
#include "tst_proxyaccount_e2e.moc"
