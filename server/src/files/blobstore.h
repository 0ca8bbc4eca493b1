#pragma once

#include "files/blobwriter.h"

#include <QString>
#include <memory>

namespace tvr::server {

class Database;
class Transaction;

// File contents on disk, named by their SHA-256 ("blobs/ab/abcdef..."), never by a name a
// client sent. The table "blobs" counts the references to each content and remembers its MD5
// and size for instant uploads. Reference changes must run inside a Transaction: the lock it
// holds keeps a concurrent release from deleting a file that is being adopted.
class BlobStore final
{
public:
    void setRoot(const QString &dataDir);
    QString tempDir() const { return m_tempDir; }

    std::unique_ptr<BlobWriter> createWriter() const;
    // Moves a finished writer's file into the store, or drops it when that content is already
    // stored. Call inside the Transaction that adds the reference.
    bool adopt(BlobWriter &writer);
    // Links a finished file (whose SHA-256 and size are known) into the store, leaving the
    // file itself in place, or does nothing when that content is already stored. Call inside
    // the Transaction that adds the reference.
    bool adoptLinked(const QString &path, const QString &sha256, qint64 size);
    QString pathFor(const QString &sha256) const;

    // Adds one reference (creating the row on first use).
    bool addRef(Database &db, const QString &sha256, const QString &md5, qint64 size);
    // Drops one reference; the file is removed after the transaction commits when none is left.
    bool release(Database &db, Transaction &tx, const QString &sha256);
    // True when the content is on disk with that size.
    bool holds(const QString &sha256, qint64 size) const;

    // At start-up: removes leftover temporary files and blob files that no row references
    // (the trace of a crash between writing a file and committing its record).
    void sweep(Database &db) const;

    static bool isHash(const QString &text);

private:
    QString m_blobDir;
    QString m_tempDir;
};

} // namespace tvr::server
