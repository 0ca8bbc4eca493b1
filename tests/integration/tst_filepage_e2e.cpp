// The file list page against the reference server: a 20 MiB file uploaded in chunks, listed,
// downloaded byte for byte, uploaded again as an instant upload, and packed with a small file.
#include "files/filelistpage.h"
#include "files/filemodel.h"
#include "files/filerecord.h"
#include "files/filetable.h"
#include "net/httpresponse.h"
#include "net/session.h"
#include "referenceserver.h"
#include "transfer/transfermanager.h"
#include "transfer/uploader.h"
#include "transferkit.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace {
constexpr qint64 BigSize = 20 * 1024 * 1024;
// Smaller chunks than the product's, so the upload runs through many chunk rounds.
constexpr qint64 ServerChunkSize = 2 * 1024 * 1024;

// The chunked upload the page handed to the transfer list last.
TransferTask *newestUpload()
{
    const QList<TransferTask *> &tasks = TransferManager::instance()->tasks();
    for (auto it = tasks.crbegin(); it != tasks.crend(); ++it) {
        if ((*it)->kind() == TransferTask::Kind::Upload)
            return *it;
    }
    return nullptr;
}

int rowNamed(const FileModel *model, const QString &name)
{
    for (int row = 0; row < model->rowCount(); ++row) {
        if (jsonText(model->rowAt(row), QStringLiteral("name")) == name)
            return row;
    }
    return -1;
}
} // namespace

class TestFilePageE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void uploadListDownloadAndInstantUpload();

private:
    std::unique_ptr<ReferenceServer> m_server;
    QTemporaryDir m_work;
    QTemporaryDir m_downloads;
    QList<QUrl> m_opened;
};

void TestFilePageE2E::initTestCase()
{
    ReferenceServer::Options options;
    options.chunkSize = ServerChunkSize;
    m_server = std::make_unique<ReferenceServer>(options);
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    const ReferenceServer::Credentials user =
        m_server->signIn(QStringLiteral("e2e_files"), QStringLiteral("13912345678"));
    QVERIFY(user.isValid());
    QVERIFY(Session::instance()->applyLogin(user.login));

    FileListPage::setDownloadDirForTests(m_downloads.path());
    FileListPage::setUrlOpener([this](const QUrl &url) {
        m_opened.append(url);
        return true;
    });
}

void TestFilePageE2E::cleanupTestCase()
{
    FileListPage::setUrlOpener({});
    FileListPage::setDownloadDirForTests({});
    m_server.reset();
}

void TestFilePageE2E::uploadListDownloadAndInstantUpload()
{
    const QString source = m_work.filePath(QStringLiteral("大文件.bin"));
    {
        QFile out(source);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QByteArray block(1024 * 1024, Qt::Uninitialized);
        for (qint64 written = 0; written < BigSize; written += block.size()) {
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
            QCOMPARE(out.write(block), block.size());
        }
    }
    const QString small = m_work.filePath(QStringLiteral("notes.txt"));
    {
        QFile out(small);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("small file through the multipart request\n");
    }

    FileListPage page(QStringLiteral("all"), QString());
    page.resize(1000, 600);
    page.show();
    QTRY_COMPARE_WITH_TIMEOUT(page.statusLabel()->text(), QStringLiteral("共 0 项"), 10000);

    // One drop: the big file gets a chunked job, the small one goes into one multipart request.
    page.uploadPaths({source, small});
    TransferTask *job = newestUpload();
    QVERIFY(job);
    QSignalSpy progress(job, &TransferTask::sigUploadProgress);
    QSignalSpy done(job, &TransferTask::sigDone);
    QVERIFY(done.wait(30000));
    QStringList phases;
    for (const QList<QVariant> &args : progress)
        phases.append(args.at(1).toString());
    QVERIFY2(phases.contains(QStringLiteral("上传中 10/10")), qPrintable(phases.join('|')));
    QCOMPARE(phases.last(), QStringLiteral("上传完成"));

    QTRY_VERIFY_WITH_TIMEOUT(rowNamed(page.model(), QStringLiteral("大文件.bin")) >= 0 &&
                                 rowNamed(page.model(), QStringLiteral("notes.txt")) >= 0,
                             10000);
    const int bigRow = rowNamed(page.model(), QStringLiteral("大文件.bin"));
    QCOMPARE(jsonInt64(page.model()->rowAt(bigRow), QStringLiteral("size")), BigSize);

    // Download it again and compare every byte.
    page.downloadRecord(page.model()->rowAt(bigRow));
    QTRY_COMPARE_WITH_TIMEOUT(page.statusLabel()->text(), QStringLiteral("已下载：大文件.bin"), 30000);
    const QString downloaded = QDir(m_downloads.path()).filePath(QStringLiteral("大文件.bin"));
    QCOMPARE(QFileInfo(downloaded).size(), BigSize);
    QCOMPARE(md5OfFile(downloaded), md5OfFile(source));
    QVERIFY(!QFile::exists(downloaded + QStringLiteral(".part")));
    QCOMPARE(m_opened.last(), QUrl::fromLocalFile(m_downloads.path()));

    // The same content again: the server already has it.
    page.uploadPaths({source});
    TransferTask *again = newestUpload();
    QVERIFY(again);
    QSignalSpy againProgress(again, &TransferTask::sigUploadProgress);
    QSignalSpy againDone(again, &TransferTask::sigDone);
    QVERIFY(againDone.wait(30000));
    QCOMPARE(againProgress.last().at(0).toInt(), 100);
    QCOMPARE(againProgress.last().at(1).toString(), QStringLiteral("秒传完成"));

    // Both entries packed into one archive in the download folder.
    QTRY_VERIFY_WITH_TIMEOUT(rowNamed(page.model(), QStringLiteral("notes.txt")) >= 0, 10000);
    page.table()->clearSelection();
    page.selectRow(rowNamed(page.model(), QStringLiteral("notes.txt")));
    page.table()->selectionModel()->select(page.model()->index(rowNamed(page.model(), QStringLiteral("大文件.bin")), 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QCOMPARE(page.selectedRows().size(), 2);
    page.packDownloadButtonClicked();
    QTRY_VERIFY_WITH_TIMEOUT(page.statusLabel()->text().startsWith(QStringLiteral("已打包下载：")), 30000);
    const QString archiveName = page.statusLabel()->text().mid(QStringLiteral("已打包下载：").size());
    QFile archive(QDir(m_downloads.path()).filePath(archiveName));
    QVERIFY2(archive.open(QIODevice::ReadOnly), qPrintable(archive.fileName()));
    QVERIFY(archive.size() > BigSize / 2);
    QCOMPARE(archive.read(4), QByteArray("PK\x03\x04"));
}

QTEST_MAIN(TestFilePageE2E)
#include "tst_filepage_e2e.moc"
