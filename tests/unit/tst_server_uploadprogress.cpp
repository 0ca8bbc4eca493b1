// The progress of a chunked upload: chunks written in place in any order, the digests of the
// growing prefix, claims on chunks being written, and blob writers that leave nothing behind.
#include "files/blobwriter.h"
#include "files/uploadprogress.h"
#include "files/uploadsessions.h"
#include "http/workerpool.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <unistd.h>

using namespace tvr::server;
using namespace std::chrono_literals;

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char &byte : bytes)
        byte = char(generator.generate());
    return bytes;
}

QString hex(const QByteArray &data, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, algorithm).toHex());
}

UploadSession sessionFor(qint64 size, qint64 chunkSize)
{
    UploadSession session;
    session.id = QStringLiteral("test");
    session.size = size;
    session.chunkSize = chunkSize;
    session.totalChunks = int(qMax<qint64>(1, (size + chunkSize - 1) / chunkSize));
    return session;
}

// Writes chunk `index` of `content` in place, as the chunk route does.
bool writeChunk(const QString &path, const UploadSession &session, const QByteArray &content, int index)
{
    const int fd = ::open(path.toUtf8().constData(), O_WRONLY | O_CREAT, 0600);
    const qint64 offset = session.chunkOffset(index);
    const qint64 length = session.chunkLength(index);
    const bool written = fd >= 0 && ::pwrite(fd, content.constData() + offset, size_t(length), offset) == length;
    if (fd >= 0)
        ::close(fd);
    return written;
}

} // namespace

class TestServerUploadProgress : public QObject
{
    Q_OBJECT

private slots:
    void chunksInAnyOrderHashLikeTheWholeFile()
    {
        QTemporaryDir dir;
        WorkerPool pool(2, "test-digest");
        // Sizes around the read buffer (1 MiB) and chunk edges; the last chunk is short.
        const qint64 chunk = 700 * 1024;
        const QByteArray content = randomBytes(5 * chunk + 123, 7);
        const UploadSession session = sessionFor(content.size(), chunk);
        const QString path = dir.filePath("data");
        auto progress = std::make_shared<UploadProgress>(path, session.size, chunk, session.totalChunks, pool);

        // The order three parallel senders may finish in: the prefix grows in jumps.
        for (int index : {2, 0, 5, 1, 4, 3}) {
            QCOMPARE(progress->claim(index, 0ms), UploadProgress::Claim::Claimed);
            QVERIFY(writeChunk(path, session, content, index));
            progress->release(index, true);
        }
        const auto digests = progress->digests(30s);
        QVERIFY(digests);
        QCOMPARE(digests->md5, hex(content, QCryptographicHash::Md5));
        QCOMPARE(digests->sha256, hex(content, QCryptographicHash::Sha256));
        // Asking again gives the same answer (a merge may be retried).
        QCOMPARE(progress->digests(1s)->sha256, digests->sha256);
    }

    void digestsFollowTheChunkBeingWrittenAndForgetItWhenItFails()
    {
        QTemporaryDir dir;
        WorkerPool pool(2, "test-digest");
        const qint64 chunk = 256 * 1024;
        const QByteArray content = randomBytes(3 * chunk, 5);
        const UploadSession session = sessionFor(content.size(), chunk);
        const QString path = dir.filePath("data");
        auto progress = std::make_shared<UploadProgress>(path, session.size, chunk, session.totalChunks, pool);

        // Half of chunk 0 arrives with other bytes than it will finally hold, and is hashed as it
        // arrives; then the request fails.
        QCOMPARE(progress->claim(0, 0ms), UploadProgress::Claim::Claimed);
        const QByteArray wrong = randomBytes(chunk / 2, 99);
        const int fd = ::open(path.toUtf8().constData(), O_WRONLY | O_CREAT, 0600);
        QCOMPARE(::pwrite(fd, wrong.constData(), size_t(wrong.size()), 0), wrong.size());
        ::close(fd);
        progress->written(0, wrong.size());
        QTRY_COMPARE_WITH_TIMEOUT(progress->hashedBytes(), qint64(wrong.size()), 10000);
        progress->release(0, false);

        // Sent again with the right bytes, then the rest: the digests are those of the file.
        for (int index : {0, 1, 2}) {
            QCOMPARE(progress->claim(index, 0ms), UploadProgress::Claim::Claimed);
            QVERIFY(writeChunk(path, session, content, index));
            progress->written(index, session.chunkLength(index));
            progress->release(index, true);
        }
        const auto digests = progress->digests(30s);
        QVERIFY(digests);
        QCOMPARE(digests->md5, hex(content, QCryptographicHash::Md5));
        QCOMPARE(digests->sha256, hex(content, QCryptographicHash::Sha256));
    }

    void aMissingChunkGivesNoDigests()
    {
        QTemporaryDir dir;
        WorkerPool pool(2, "test-digest");
        const QByteArray content = randomBytes(3000, 3);
        const UploadSession session = sessionFor(content.size(), 1024);
        const QString path = dir.filePath("data");
        auto progress = std::make_shared<UploadProgress>(path, session.size, 1024, session.totalChunks, pool);
        for (int index : {0, 2}) {
            QVERIFY(writeChunk(path, session, content, index));
            progress->markDone(index);
        }
        QVERIFY(!progress->digests(100ms));
        // A chunk that failed is not complete either.
        QCOMPARE(progress->claim(1, 0ms), UploadProgress::Claim::Claimed);
        progress->release(1, false);
        QVERIFY(!progress->digests(100ms));
    }

    void aCompleteChunkIsNeverWrittenAgain()
    {
        QTemporaryDir dir;
        WorkerPool pool(1, "test-digest");
        auto progress = std::make_shared<UploadProgress>(dir.filePath("data"), 4096, 1024, 4, pool);
        QCOMPARE(progress->claim(1, 0ms), UploadProgress::Claim::Claimed);
        // A second request for a chunk being written waits, and gives up when it is not let in.
        QCOMPARE(progress->claim(1, 10ms), UploadProgress::Claim::Busy);
        progress->release(1, true);
        QCOMPARE(progress->claim(1, 0ms), UploadProgress::Claim::AlreadyDone);
        QCOMPARE(progress->claim(7, 0ms), UploadProgress::Claim::Busy); // no such chunk
    }

    void progressIsRebuiltFromTheChunksOnRecord()
    {
        // After a restart only the file and the chunks on record are left: the registry starts
        // from them and the lanes hash the whole prefix again.
        QTemporaryDir dir;
        const QByteArray content = randomBytes(2500, 11);
        const UploadSession session = sessionFor(content.size(), 1000);
        const QString path = dir.filePath("data");
        for (int index = 0; index < session.totalChunks; ++index)
            QVERIFY(writeChunk(path, session, content, index));
        UploadProgressRegistry registry;
        const auto progress = registry.get(session, path, [] { return std::vector<int>{0, 1, 2}; });
        const auto digests = progress->digests(30s);
        QVERIFY(digests);
        QCOMPARE(digests->md5, hex(content, QCryptographicHash::Md5));
        QCOMPARE(registry.get(session, path, [] { return std::vector<int>(); }), progress);
        registry.drop(session.id);
        QVERIFY(registry.get(session, path, [] { return std::vector<int>(); }) != progress);
    }

    void emptyUploadHasTheDigestsOfNothing()
    {
        QTemporaryDir dir;
        WorkerPool pool(1, "test-digest");
        auto progress = std::make_shared<UploadProgress>(dir.filePath("data"), 0, 1024, 1, pool);
        QVERIFY(!progress->digests(10ms));
        progress->markDone(0);
        QCOMPARE(progress->digests(1s)->md5, hex(QByteArray(), QCryptographicHash::Md5));
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

QTEST_GUILESS_MAIN(TestServerUploadProgress)
#include "tst_server_uploadprogress.moc"
