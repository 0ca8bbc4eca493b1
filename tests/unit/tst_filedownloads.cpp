// Getting files out of the file list page when the user is quicker than the network: one job per
// target (double clicks, open then download), archives asked for within one second, and opening
// a file the desktop has no application for.
#include "eventwait.h"
#include "files/filelistpage.h"
#include "files/filemodel.h"
#include "files/filetable.h"
#include "modalanswer.h"
#include "scriptedserver.h"
#include "transfer/downloadregistry.h"
#include "ui/carddialog.h"

#include <QDateTime>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace {
QJsonObject file(const QString &id, const QString &name)
{
    return {{"id", id}, {"name", name}, {"type", "file"}, {"size", 5000}};
}

QByteArray readAll(const QString &path)
{
    QFile in(path);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("<missing>");
}

QStringList dialogTexts(QDialog *dialog)
{
    QStringList texts;
    for (const QLabel *label : dialog->findChildren<QLabel *>())
        texts.append(label->text());
    return texts;
}
} // namespace

class TestFileDownloads : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void doubleClickOnDownloadStartsOneJob();
    void openThenDownloadOfTheSameFileIsRefused();
    void packDownloadsInTheSameSecondGetTheirOwnNames();
    void openingWithoutAnApplicationOffersTheFolder();

private:
    std::unique_ptr<FileListPage> makePage(const QJsonArray &rows);
    int countOf(const QByteArray &method, const QString &path) const;

    ScriptedServer *m_server = nullptr;
    std::unique_ptr<QTemporaryDir> m_downloads;
    QList<QUrl> m_opened;
    bool m_desktopOpensFiles = true;
    QJsonArray m_rows;
};

void TestFileDownloads::init()
{
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_downloads = std::make_unique<QTemporaryDir>();
    FileListPage::setDownloadDirForTests(m_downloads->path());
    m_opened.clear();
    m_desktopOpensFiles = true;
    FileListPage::setUrlOpener([this](const QUrl &url) {
        m_opened.append(url);
        return m_desktopOpensFiles || QFileInfo(url.toLocalFile()).isDir();
    });
    m_server->on("GET", QStringLiteral("/api/files?*"),
                 [this](const RecordedRequest &) { return ScriptedReply::success(m_rows); });
}

void TestFileDownloads::cleanup()
{
    m_server->releaseHeld();
    FileListPage::setUrlOpener({});
    FileListPage::setDownloadDirForTests({});
    delete m_server;
    m_server = nullptr;
}

std::unique_ptr<FileListPage> TestFileDownloads::makePage(const QJsonArray &rows)
{
    m_rows = rows;
    auto page = std::make_unique<FileListPage>(QStringLiteral("all"), QString());
    page->resize(900, 500);
    page->show();
    const QString expected = QStringLiteral("共 %1 项").arg(rows.size());
    if (!waitUntil([&] { return page->statusLabel()->text() == expected; }))
        qWarning("listing did not arrive");
    return page;
}

int TestFileDownloads::countOf(const QByteArray &method, const QString &path) const
{
    return int(m_server->requests(method, path).size());
}

void TestFileDownloads::doubleClickOnDownloadStartsOneJob()
{
    // A double click on 「下载」 is two clicks while the first download is still running.
    const QString name = QStringLiteral("增长%2报告.bin");
    const QByteArray body(5000, 'r');
    const QString path = QStringLiteral("/api/files/1/download");
    m_server->on("GET", path,
                 [body](const RecordedRequest &request) { return rangedContent(body, request).heldUntilReleased(); });
    auto page = makePage({file("1", name)});
    page->selectRow(0);
    page->downloadButtonClicked();
    QVERIFY(m_server->waitForRequests(2)); // the listing and the download
    page->downloadButtonClicked();
    QCOMPARE(page->statusLabel()->text(), DownloadRegistry::busyText(name));
    QCOMPARE(countOf("GET", path), 1);

    m_server->releaseHeld();
    QVERIFY(waitUntil([&] { return page->statusLabel()->text() == QStringLiteral("已下载：") + name; }));
    QCOMPARE(readAll(QDir(m_downloads->path()).filePath(name)), body);
    QCOMPARE(countOf("GET", path), 1);
    QCOMPARE(QDir(m_downloads->path()).entryList(QDir::Files), QStringList{name});

    // Once it is done, the same file can be fetched again.
    page->downloadButtonClicked();
    QVERIFY(waitUntil([&] { return countOf("GET", path) == 2; }));
    m_server->releaseHeld();
    QVERIFY(waitUntil([&] { return page->statusLabel()->text() == QStringLiteral("已下载：") + name; }));
}

void TestFileDownloads::openThenDownloadOfTheSameFileIsRefused()
{
    const QByteArray body(5000, 'o');
    const QString path = QStringLiteral("/api/files/1/download");
    m_server->on("GET", path,
                 [body](const RecordedRequest &request) { return rangedContent(body, request).heldUntilReleased(); });
    auto page = makePage({file("1", "a.pdf")});
    page->openRow(0);
    QVERIFY(waitUntil([&] { return m_server->heldCount() == 1; }));
    page->downloadRecord(page->model()->rowAt(0));
    QCOMPARE(page->statusLabel()->text(), DownloadRegistry::busyText(QStringLiteral("a.pdf")));
    page->openRow(0);
    QCOMPARE(page->statusLabel()->text(), DownloadRegistry::busyText(QStringLiteral("a.pdf")));
    QCOMPARE(countOf("GET", path), 1);

    m_server->releaseHeld();
    QVERIFY(waitUntil([&] { return m_opened.size() == 1; }));
    QCOMPARE(m_opened.constFirst(), QUrl::fromLocalFile(QDir(m_downloads->path()).filePath("a.pdf")));
    QCOMPARE(readAll(QDir(m_downloads->path()).filePath("a.pdf")), body);
}

void TestFileDownloads::packDownloadsInTheSameSecondGetTheirOwnNames()
{
    const QByteArray first = QByteArray("PK first ") + QByteArray(300000, '1');
    const QByteArray second = QByteArray("PK second ") + QByteArray(200000, '2');
    m_server->onSequence("POST", QStringLiteral("/api/files/pack-download"),
                         {ScriptedReply::text(200, first, "application/zip").heldUntilReleased(),
                          ScriptedReply::text(200, second, "application/zip").heldUntilReleased()});
    auto page = makePage({file("1", "a.pdf"), file("2", "b.pdf")});
    // An archive of this second's name is already on disk too.
    const QString taken = FileListPage::packFileName(QDateTime::currentDateTime());
    QVERIFY(QFile(QDir(m_downloads->path()).filePath(taken)).open(QIODevice::WriteOnly));
    page->table()->selectAll();
    page->downloadSelected();
    page->downloadSelected();
    QVERIFY(waitUntil([&] { return m_server->heldCount() == 2; }));
    m_server->releaseHeld();
    QVERIFY(waitUntil(
        [&] { return QDir(m_downloads->path()).entryList({QStringLiteral("*.zip")}, QDir::Files).size() == 3; }));
    QVERIFY(waitUntil([&] { return m_opened.size() == 2; }));

    QStringList archives = QDir(m_downloads->path()).entryList({QStringLiteral("*.zip")}, QDir::Files);
    archives.removeOne(taken);
    QCOMPARE(archives.size(), 2);
    QList<QByteArray> contents;
    for (const QString &archive : archives) {
        QVERIFY2(archive.startsWith(QStringLiteral("打包下载_")), qPrintable(archive));
        contents << readAll(QDir(m_downloads->path()).filePath(archive));
    }
    QVERIFY(contents.contains(first));
    QVERIFY(contents.contains(second));
    QCOMPARE(readAll(QDir(m_downloads->path()).filePath(taken)), QByteArray()); // untouched
    QCOMPARE(QDir(m_downloads->path()).entryList({QStringLiteral("*.part")}, QDir::Files), QStringList());
}

void TestFileDownloads::openingWithoutAnApplicationOffersTheFolder()
{
    m_desktopOpensFiles = false;
    m_server->serveContent(QStringLiteral("/api/files/1/download"), QByteArray("data"));
    auto page = makePage({file("1", "model.step")});
    QStringList asked;
    answerModal([&asked](QDialog *dialog) {
        asked = dialogTexts(dialog);
        static_cast<Cdlg::CardDialog *>(dialog)->okButton()->click();
    });
    page->openRow(0);
    const QString saved = QDir(m_downloads->path()).filePath("model.step");
    QVERIFY(waitUntil([&] { return m_opened.size() == 2; }));
    QCOMPARE(m_opened.at(0), QUrl::fromLocalFile(saved));
    QCOMPARE(m_opened.at(1), QUrl::fromLocalFile(m_downloads->path()));
    QVERIFY2(asked.join('\n').contains(QStringLiteral("没有可以打开「model.step」的应用程序")),
             qPrintable(asked.join('|')));
    QVERIFY(page->statusLabel()->text().startsWith(QStringLiteral("没有可以打开「model.step」的应用程序")));
}

QTEST_MAIN(TestFileDownloads)
#include "tst_filedownloads.moc"
