#include "files/blobstore.h"

#include "storage/database.h"
#include "storage/transaction.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace tvr::server {

static void syncDirectory(const QString &dir)
{
    const int fd = ::open(dir.toUtf8().constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

void BlobStore::setRoot(const QString &dataDir)
{
    m_blobDir = dataDir + QStringLiteral("/blobs");
    m_tempDir = dataDir + QStringLiteral("/tmp");
    QDir().mkpath(m_blobDir);
    QDir().mkpath(m_tempDir);
}

std::unique_ptr<BlobWriter> BlobStore::createWriter() const
{
    auto writer = std::make_unique<BlobWriter>(m_tempDir);
    if (!writer->isOpen())
        return nullptr;
    return writer;
}

bool BlobStore::isHash(const QString &text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

QString BlobStore::pathFor(const QString &sha256) const
{
    return m_blobDir + QLatin1Char('/') + sha256.left(2) + QLatin1Char('/') + sha256;
}

bool BlobStore::adopt(BlobWriter &writer)
{
    const QString hash = writer.sha256Hex();
    if (!isHash(hash) || writer.tempPath().isEmpty())
        return false;
    const QString target = pathFor(hash);
    const QFileInfo existing(target);
    if (existing.exists() && existing.size() == writer.size()) {
        QFile::remove(writer.tempPath());
        writer.release();
        return true;
    }
    const QString dir = QFileInfo(target).absolutePath();
    QDir().mkpath(dir);
    if (::rename(writer.tempPath().toUtf8().constData(), target.toUtf8().constData()) != 0)
        return false;
    writer.release();
    syncDirectory(dir);
    return true;
}

bool BlobStore::adoptLinked(const QString &path, const QString &sha256, qint64 size)
{
    if (!isHash(sha256))
        return false;
    const QString target = pathFor(sha256);
    const QFileInfo existing(target);
    if (existing.exists() && existing.size() == size)
        return true;
    const QString dir = QFileInfo(target).absolutePath();
    QDir().mkpath(dir);
    QFile::remove(target); // a damaged copy of that content
    if (::link(path.toUtf8().constData(), target.toUtf8().constData()) != 0)
        return false;
    syncDirectory(dir);
    return true;
}

bool BlobStore::addRef(Database &db, const QString &sha256, const QString &md5, qint64 size)
{
    return db.exec("INSERT INTO blobs(hash, md5, size, refs) VALUES(?1, ?2, ?3, 1) "
                   "ON CONFLICT(hash) DO UPDATE SET refs = blobs.refs + 1",
                   {sha256, md5, size});
}

bool BlobStore::release(Database &db, Transaction &tx, const QString &sha256)
{
    if (sha256.isEmpty())
        return true;
    if (!db.exec("UPDATE blobs SET refs = refs - 1 WHERE hash = ?1", {sha256}))
        return false;
    const QVariant refs = db.scalar("SELECT refs FROM blobs WHERE hash = ?1", {sha256});
    if (refs.isValid() && refs.toLongLong() <= 0) {
        if (!db.exec("DELETE FROM blobs WHERE hash = ?1", {sha256}))
            return false;
        const QString path = pathFor(sha256);
        tx.onCommit([path] { QFile::remove(path); });
    }
    return true;
}

bool BlobStore::holds(const QString &sha256, qint64 size) const
{
    const QFileInfo info(pathFor(sha256));
    return isHash(sha256) && info.exists() && info.size() == size;
}

void BlobStore::sweep(Database &db) const
{
    QDirIterator temps(m_tempDir, QDir::Files | QDir::Hidden | QDir::System);
    while (temps.hasNext())
        QFile::remove(temps.next());

    QSet<QString> known;
    for (const auto &row : db.query("SELECT hash FROM blobs"))
        known.insert(row.value(0).toString());
    QDirIterator blobs(m_blobDir, QDir::Files, QDirIterator::Subdirectories);
    while (blobs.hasNext()) {
        const QString path = blobs.next();
        if (!known.contains(QFileInfo(path).fileName())) {
            QFile::remove(path);
            std::fprintf(stderr, "tolvar-server: removed unreferenced blob %s\n", path.toUtf8().constData());
        }
    }
}

} // namespace tvr::server
