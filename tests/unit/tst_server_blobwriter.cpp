// Joining upload chunks: the stored bytes and both digests must equal those of the whole file,
// however the bytes reached the writer.
#include "blobwriter.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using namespace tvr::server;

class TestServerBlobWriter : public QObject
{
    Q_OBJECT

private slots:
    void joinedFilesHashLikeTheWholeFile()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // Sizes around the copy buffer (1 MiB), an empty file, and bytes written before the join.
        const QList<qsizetype> sizes{1024 * 1024, 0, 3 * 1024 * 1024 + 17, 1, 700 * 1024};
        QByteArray whole = "head bytes written directly;";
        QStringList paths;
        for (qsizetype i = 0; i < sizes.size(); ++i) {
            QByteArray bytes(sizes.at(i), Qt::Uninitialized);
            QRandomGenerator generator(quint32(i + 1));
            for (char &byte : bytes)
                byte = char(generator.generate());
            const QString path = dir.filePath(QString::number(i));
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(bytes), bytes.size());
            paths.append(path);
            whole.append(bytes);
        }

        BlobWriter writer(dir.path());
        QVERIFY(writer.isOpen());
        const QByteArray head = "head bytes written directly;";
        QVERIFY(writer.write(head.constData(), size_t(head.size())));
        QVERIFY(writer.appendFiles(paths));
        QVERIFY(writer.finish());

        QCOMPARE(writer.size(), whole.size());
        QCOMPARE(writer.md5Hex(), QString::fromLatin1(QCryptographicHash::hash(whole, QCryptographicHash::Md5).toHex()));
        QCOMPARE(writer.sha256Hex(),
                 QString::fromLatin1(QCryptographicHash::hash(whole, QCryptographicHash::Sha256).toHex()));
        QFile stored(writer.tempPath());
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QVERIFY(stored.readAll() == whole);
    }

    void aMissingChunkFailsTheJoin()
    {
        QTemporaryDir dir;
        QFile present(dir.filePath("0"));
        QVERIFY(present.open(QIODevice::WriteOnly));
        present.write(QByteArray(5000, 'a'));
        present.close();

        BlobWriter writer(dir.path());
        QVERIFY(!writer.appendFiles({dir.filePath("0"), dir.filePath("gone"), dir.filePath("0")}));
    }

    void anUnfinishedWriterLeavesNoTemporaryFile()
    {
        QTemporaryDir dir;
        QString temp;
        {
            BlobWriter writer(dir.path());
            QVERIFY(writer.write("abc", 3));
            temp = writer.tempPath();
            QVERIFY(QFile::exists(temp));
        }
        QVERIFY(!QFile::exists(temp));
    }
};

QTEST_GUILESS_MAIN(TestServerBlobWriter)
#include "tst_server_blobwriter.moc"
