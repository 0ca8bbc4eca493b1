// The installer start on Linux: a verified executable runs detached (made executable first), a
// missing file or a link is refused with a text, and packages go to the desktop.
#include "update/installerlauncher.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestInstallerLauncher : public QObject
{
    Q_OBJECT

private slots:
    void executableRunsDetachedAfterBeingMadeExecutable();
    void missingFileAndLinksAreRefusedWithAText();
    void packagesGoToTheDesktop();
};

void TestInstallerLauncher::executableRunsDetachedAfterBeingMadeExecutable()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString marker = dir.filePath(QStringLiteral("ran"));
    const QString installer = dir.filePath(QStringLiteral("tolvar-setup-2.2.0.run"));
    QFile script(installer);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho started > '" + marker.toUtf8() + "'\n");
    script.close();
    // As downloaded: readable, not executable.
    QVERIFY(QFile::setPermissions(installer, QFileDevice::ReadOwner | QFileDevice::WriteOwner));

    QString error;
    QVERIFY2(InstallerLauncher::launch(installer, &error), qPrintable(error));
    QVERIFY(QFile::permissions(installer) & QFileDevice::ExeOwner);
    QTRY_VERIFY(QFile::exists(marker));
}

void TestInstallerLauncher::missingFileAndLinksAreRefusedWithAText()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString error;
    QVERIFY(!InstallerLauncher::launch(dir.filePath(QStringLiteral("gone.run")), &error));
    QCOMPARE(error, QStringLiteral("安装包不存在，请重新下载"));
    error.clear();
    QVERIFY(!InstallerLauncher::launch(QString(), &error));
    QVERIFY(!error.isEmpty());

    // A link planted in place of the installer is not followed.
    const QString target = dir.filePath(QStringLiteral("elsewhere.sh"));
    QFile file(target);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n");
    file.close();
    const QString link = dir.filePath(QStringLiteral("setup.run"));
    QVERIFY(QFile::link(target, link));
    error.clear();
    QVERIFY(!InstallerLauncher::launch(link, &error));
    QCOMPARE(error, QStringLiteral("安装包不存在，请重新下载"));
    QVERIFY(!(QFile::permissions(target) & QFileDevice::ExeOwner));
}

void TestInstallerLauncher::packagesGoToTheDesktop()
{
    QVERIFY(InstallerLauncher::isPackage(QStringLiteral("/tmp/tolvar-storage_2.2.0_amd64.deb")));
    QVERIFY(InstallerLauncher::isPackage(QStringLiteral("/tmp/SETUP.DEB")));
    QVERIFY(!InstallerLauncher::isPackage(QStringLiteral("/tmp/tolvar-setup-2.2.0.run")));
    QVERIFY(!InstallerLauncher::isPackage(QStringLiteral("/tmp/setup.deb.run")));
}

QTEST_GUILESS_MAIN(TestInstallerLauncher)
#include "tst_installerlauncher.moc"
