// The folder watcher's hints: a file's own changes in a watched folder are told (an in-place
// save, an append), writes still under way are told apart from finished ones, ignored names
// say nothing, and a renamed folder's old name can be watched again.
#include "sync/folderwatcher.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TestFolderWatcher : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void fileChangedInPlaceIsTold();
    void writeUnderWayIsToldApartFromItsEnd();
    void ignoredNamesSayNothing();
    void renamedFolderFreesItsOldName();

private:
    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    // Whatever an earlier step queued is read and dropped before the step under test.
    void drain();

    QTemporaryDir m_dir;
    FolderWatcher *m_watcher = nullptr;
};

void TestFolderWatcher::init()
{
    QVERIFY(QDir(m_dir.path()).removeRecursively() && QDir().mkpath(m_dir.path()));
    m_watcher = new FolderWatcher(this);
    m_watcher->setIgnoredName([](const QString &name) { return name.endsWith(".part"); });
    QCOMPARE(m_watcher->addPaths({m_dir.path()}), 0);
}

void TestFolderWatcher::cleanup()
{
    delete m_watcher;
    m_watcher = nullptr;
}

void TestFolderWatcher::drain()
{
    QSignalSpy changed(m_watcher, &FolderWatcher::changed);
    // A folder made and removed for the purpose: its two events come after everything before.
    QVERIFY(QDir().mkdir(path("marker")) && QDir().rmdir(path("marker")));
    QVERIFY(changed.wait(5000));
}

void TestFolderWatcher::fileChangedInPlaceIsTold()
{
    QFile file(path("notes.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("first") == 5);
    file.close();
    drain();
    QSignalSpy changed(m_watcher, &FolderWatcher::changed);
    // Neither the folder's names nor the file's times change by the program's own hand.
    QVERIFY(file.open(QIODevice::Append) && file.write(" and more") == 9);
    file.close();
    QVERIFY(changed.wait(5000));
    // Reading it (as a digest does) is no change.
    changed.clear();
    QSignalSpy writing(m_watcher, &FolderWatcher::writing);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("first and more"));
    file.close();
    QVERIFY(QDir().mkdir(path("marker")));
    QVERIFY(changed.wait(5000));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(writing.size(), 0);
}

void TestFolderWatcher::writeUnderWayIsToldApartFromItsEnd()
{
    QFile file(path("log.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    drain();
    QSignalSpy changed(m_watcher, &FolderWatcher::changed);
    QSignalSpy writing(m_watcher, &FolderWatcher::writing);
    QVERIFY(file.write("line\n") == 5 && file.flush());
    QVERIFY(writing.wait(5000));
    QCOMPARE(changed.size(), 0);
    file.close();
    QVERIFY(changed.wait(5000));
}

void TestFolderWatcher::ignoredNamesSayNothing()
{
    QSignalSpy changed(m_watcher, &FolderWatcher::changed);
    QSignalSpy writing(m_watcher, &FolderWatcher::writing);
    QFile side(path("movie.mkv.part"));
    QVERIFY(side.open(QIODevice::WriteOnly) && side.write("bytes") == 5 && side.flush());
    side.close();
    QVERIFY(QFile::remove(path("movie.mkv.part")));
    // Only the marker's own events come.
    QVERIFY(QDir().mkdir(path("marker")));
    QVERIFY(changed.wait(5000));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(writing.size(), 0);
}

void TestFolderWatcher::renamedFolderFreesItsOldName()
{
    QVERIFY(QDir().mkdir(path("a")));
    QCOMPARE(m_watcher->addPaths({path("a")}), 0);
    QVERIFY(QDir().rename(path("a"), path("b")));
    drain();
    QVERIFY(!m_watcher->directories().contains(path("a")));
    // A new folder under the old name is watched, and so is the old folder under its new one.
    QVERIFY(QDir().mkdir(path("a")));
    QCOMPARE(m_watcher->addPaths({path("a"), path("b")}), 0);
    QVERIFY(m_watcher->directories().contains(path("a")));
    QVERIFY(m_watcher->directories().contains(path("b")));
    for (const QString &folder : {QStringLiteral("a"), QStringLiteral("b")}) {
        QSignalSpy changed(m_watcher, &FolderWatcher::changed);
        QFile file(path(folder + "/x.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY2(changed.wait(5000), qPrintable(folder));
    }
    // Gone folders leave the list.
    QVERIFY(QDir(path("a")).removeRecursively());
    drain();
    QVERIFY(!m_watcher->directories().contains(path("a")));
    // Missing folders are counted, not watched.
    QCOMPARE(m_watcher->addPaths({path("missing")}), 1);
}

QTEST_GUILESS_MAIN(TestFolderWatcher)
#include "tst_folderwatcher.moc"
