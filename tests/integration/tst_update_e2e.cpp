// The update check of the main window against the reference server's demo release: the check after
// start-up finds 2.2.0, the bell shows it, and the installer arrives in four ranged segments whose
// joined bytes match the manifest's SHA-512.
#include "app/mainwindow.h"
#include "net/session.h"
#include "notify/notificationbell.h"
#include "referenceserver.h"
#include "testsettings.h"
#include "update/updatechecker.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class TestUpdateE2e : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startupCheckFindsTheReleaseAndTheInstallerVerifies();

private:
    QTemporaryDir m_settingsDir;
    std::unique_ptr<ReferenceServer> m_server;
    ReferenceServer::Credentials m_demo;
};

void TestUpdateE2e::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    ReferenceServer::Options options;
    options.demo = true;
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_demo = m_server->signIn(QStringLiteral("demo"), QStringLiteral("13800138000"));
    QVERIFY(m_demo.isValid());
}

void TestUpdateE2e::startupCheckFindsTheReleaseAndTheInstallerVerifies()
{
    QVERIFY(Session::instance()->applyLogin(m_demo.login));
    MainWindow window;
    window.show();
    auto *delay = window.findChild<QTimer *>(QStringLiteral("UpdateCheckDelay"));
    QVERIFY(delay && delay->isActive());
    delay->start(0); // what the 6 s after start-up would do

    QTRY_VERIFY(window.updateChecker());
    QTRY_COMPARE(window.bell()->updateNotice(), QStringLiteral("发现新版本 v2.2.0，点击升级"));
    UpdateChecker *checker = window.updateChecker();
    QVERIFY(checker->hasUpdate());
    QVERIFY(!checker->expectedDigest().isEmpty());

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    checker->setInstallerFolder(folder.filePath(QStringLiteral("installer")));
    QSignalSpy downloaded(checker, &UpdateChecker::downloaded);
    QSignalSpy failed(checker, &UpdateChecker::failed);
    checker->downloadInstaller();
    QVERIFY2(downloaded.wait(60000), failed.isEmpty() ? "no answer" : qPrintable(failed.first().first().toString()));
    QVERIFY(checker->usedSegments());

    const QString path = downloaded.first().first().toString();
    QFile installer(path);
    QVERIFY(installer.open(QIODevice::ReadOnly));
    QVERIFY(installer.size() > UpdateChecker::SegmentThreshold);
    QCryptographicHash sha(QCryptographicHash::Sha512);
    QVERIFY(sha.addData(&installer));
    QCOMPARE(sha.result().toBase64(), checker->expectedDigest().toLatin1());
    // Only the verified installer is left: no segment or part files beside it.
    QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files), QStringList{QFileInfo(path).fileName()});
}

QTEST_MAIN(TestUpdateE2e)
#include "tst_update_e2e.moc"
