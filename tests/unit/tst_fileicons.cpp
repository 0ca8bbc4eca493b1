#include "files/fileicons.h"

#include <QSet>
#include <QTest>

class TestFileIcons : public QObject
{
    Q_OBJECT

private slots:
    void iconNameFollowsRuleOrder_data();
    void iconNameFollowsRuleOrder();
    void decodesOncePerIconAndSize();
    void everyIconExistsAtListSizes();
};

void TestFileIcons::iconNameFollowsRuleOrder_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("folder");
    QTest::addColumn<QString>("mime");
    QTest::addColumn<QString>("icon");

    QTest::newRow("folder wins over its name") << "a.pdf" << true << "application/pdf"
                                               << "folder.png";
    QTest::newRow("upper-case extension") << "Report.PDF" << false << ""
                                          << "pdf.png";
    QTest::newRow("pdf by media type") << "scan" << false << "Application/PDF"
                                       << "pdf.png";
    QTest::newRow("pdf media type beats extension") << "x.mp3" << false << "application/pdf"
                                                    << "pdf.png";
    QTest::newRow("docx") << "plan.docx" << false << ""
                          << "doc.png";
    QTest::newRow("wps sheet") << "ledger.et" << false << ""
                               << "xls.png";
    QTest::newRow("csv") << "data.CSV" << false << "text/csv"
                         << "xls.png";
    QTest::newRow("slides") << "deck.dps" << false << ""
                            << "ppt.png";
    QTest::newRow("markdown") << "README.md" << false << "text/markdown"
                              << "md.png";
    QTest::newRow("cad plot") << "part.plt" << false << ""
                              << "plt.png";
    QTest::newRow("boke") << "x.boke" << false << ""
                          << "boke.png";
    QTest::newRow("apk") << "app.apk" << false << ""
                         << "apk.png";
    QTest::newRow("installer") << "setup.msi" << false << ""
                               << "exe.png";
    QTest::newRow("last dot decides") << "backup.tar.gz" << false << ""
                                      << "zip.png";
    QTest::newRow("raw photo") << "IMG.RAW" << false << ""
                               << "jpg.png";
    QTest::newRow("image media type") << "photo" << false << "image/heif"
                                      << "jpg.png";
    QTest::newRow("ts is video, not code") << "clip.ts" << false << "video/mp2t"
                                           << "mp4.png";
    QTest::newRow("ts without media type") << "index.ts" << false << ""
                                           << "mp4.png";
    QTest::newRow("video media type") << "movie" << false << "video/x-matroska"
                                      << "mp4.png";
    QTest::newRow("audio extension") << "song.FLAC" << false << ""
                                     << "mp3.png";
    QTest::newRow("audio media type") << "voice" << false << "audio/amr"
                                      << "mp3.png";
    QTest::newRow("json beats text media type") << "x.json" << false << "text/plain"
                                                << "code.png";
    QTest::newRow("dot file is its extension") << ".gitignore" << false << ""
                                               << "code.png";
    QTest::newRow("txt") << "notes.txt" << false << ""
                         << "txt.png";
    QTest::newRow("text media type") << "notes" << false << "text/markdown"
                                     << "txt.png";
    QTest::newRow("zip media type is not read") << "bundle" << false << "application/zip"
                                                << "file.png";
    QTest::newRow("trailing dot") << "odd." << false << ""
                                  << "file.png";
    QTest::newRow("unknown extension") << "data.bin" << false << "application/octet-stream"
                                       << "file.png";
    QTest::newRow("empty") << "" << false << ""
                           << "file.png";
    QTest::newRow("CJK name") << "年度报告.XLSX" << false << ""
                              << "xls.png";
}

void TestFileIcons::iconNameFollowsRuleOrder()
{
    QFETCH(QString, name);
    QFETCH(bool, folder);
    QFETCH(QString, mime);
    QFETCH(QString, icon);
    QCOMPARE(fileIconName(name, folder, mime), icon);
}

void TestFileIcons::decodesOncePerIconAndSize()
{
    const int before = fileIconDecodeCount();
    const QPixmap first = fileIcon("a.pdf", false, "", 24);
    QCOMPARE(fileIconDecodeCount(), before + 1);
    QVERIFY(!first.isNull());
    QCOMPARE(first.size(), QSize(24, 24));

    // Another name that maps to the same picture at the same size is a cache hit.
    const QPixmap second = fileIcon("other.PDF", false, "application/pdf", 24);
    QCOMPARE(fileIconDecodeCount(), before + 1);
    QCOMPARE(second.cacheKey(), first.cacheKey());

    // A new size is a new decode, then cached as well.
    fileIcon("a.pdf", false, "", 20);
    fileIcon("b.pdf", false, "", 20);
    QCOMPARE(fileIconDecodeCount(), before + 2);

    // Every unknown kind shares the generic picture's one decode.
    fileIcon("x.definitely-unknown", false, "", 24);
    fileIcon("y.other-unknown", false, "application/x-thing", 24);
    QCOMPARE(fileIconDecodeCount(), before + 3);
}

void TestFileIcons::everyIconExistsAtListSizes()
{
    // One name per picture of the set, each reached through the rules.
    const QStringList names = {"a.apk", "a.boke", "a.js",  "a.cut", "a.dat", "a.doc", "a.dxf", "a.exe",
                               "a.bin", "a.jpg",  "a.hlw", "a.klw", "a.md",  "a.mdl", "a.mot", "a.mp3",
                               "a.mp4", "a.mtl",  "a.nsp", "a.ntp", "a.pat", "a.pdf", "a.plt", "a.ppt",
                               "a.sdt", "a.slw",  "a.txt", "a.xls", "a.zip"};
    QSet<QString> icons;
    for (int size : {20, 24}) {
        for (int i = -1; i < names.size(); ++i) {
            const bool folder = i < 0;
            const QString name = folder ? QStringLiteral("folder") : names.at(i);
            const QPixmap picture = fileIcon(name, folder, "", size);
            QVERIFY2(!picture.isNull(), qPrintable(fileIconName(name, folder, "")));
            QCOMPARE(picture.size(), QSize(size, size));
            icons.insert(fileIconName(name, folder, ""));
        }
    }
    QCOMPARE(icons.size(), 30);
}

QTEST_MAIN(TestFileIcons)
#include "tst_fileicons.moc"
