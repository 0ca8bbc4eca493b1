#pragma once

#include <QString>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace tvr::server {

class WorkerPool;
struct UploadSession;

// What the server knows in memory of one chunked upload: which chunks are being written and
// which are complete, and the MD5 and SHA-256 of the contiguous prefix of the file. The chunks
// are written in place into the session's one file; two background lanes (one per digest, so
// they run side by side) read the prefix back from the page cache and hash it as it grows,
// following even the chunk being written right after it byte by byte. Bytes of a chunk still
// being written count only once it completes: if it fails, the lanes go back to where it
// began (its bytes may be sent again differently), so the digests always describe the bytes
// the file finally holds. The merge then only waits for the lanes to catch up with the last
// bytes. After a restart the progress is rebuilt from the chunks on record and the lanes start
// over.
class UploadProgress final : public std::enable_shared_from_this<UploadProgress>
{
public:
    UploadProgress(QString path, qint64 size, qint64 chunkSize, int totalChunks, WorkerPool &pool);
    ~UploadProgress();
    UploadProgress(const UploadProgress &) = delete;
    UploadProgress &operator=(const UploadProgress &) = delete;

    enum class Claim { Claimed, AlreadyDone, Busy };
    // Takes the right to write chunk `index`, waiting (at most `wait`) while another request
    // writes it. AlreadyDone: the chunk is complete and must not change (its bytes may have been
    // hashed already); Busy: another request still holds it.
    Claim claim(int index, std::chrono::milliseconds wait);
    // The holder of a claim has written the first `bytes` of chunk `index` (in order).
    void written(int index, qint64 bytes);
    // Ends a claim: `complete` when the chunk is on disk in full (and on record).
    void release(int index, bool complete);
    // Marks a chunk complete without a claim (rebuilding after a restart).
    void markDone(int index);
    // Marks a chunk complete that another instance wrote and recorded, unless this process is
    // writing it itself (its own claim decides then).
    void learnDone(int index);

    struct Digests
    {
        QString md5;
        QString sha256;
    };
    // Waits (at most `wait`) until every chunk is complete and hashed; nothing on a read error,
    // a missing chunk or the time-out.
    std::optional<Digests> digests(std::chrono::milliseconds wait);
    // Bytes both digests have taken in so far (those of a chunk being written included).
    qint64 hashedBytes();

private:
    struct Lane
    {
        EVP_MD_CTX *ctx = nullptr;
        qint64 hashed = 0;
        bool running = false;
        // The state at the start of the chunk being written, taken before hashing into it.
        EVP_MD_CTX *checkpoint = nullptr;
        qint64 checkpointAt = -1;
        bool rollBack = false; // the chunk being hashed failed: back to the checkpoint
    };

    // How far the lanes may hash: the complete prefix plus what the chunk after it has written.
    qint64 hashableLocked() const;
    void advanceLocked();
    void schedule(Lane &lane);
    void rollBackLocked(Lane &lane);
    void run(Lane &lane);

    const QString m_path;
    const qint64 m_size;
    const qint64 m_chunkSize;
    WorkerPool &m_pool;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<bool> m_done;
    std::map<int, qint64> m_writing; // chunks being written, and how much of each
    int m_prefixChunks = 0;          // chunks 0..m_prefixChunks-1 are complete
    qint64 m_prefixBytes = 0;
    bool m_failed = false;
    Lane m_md5;
    Lane m_sha256;
};

// The progress of every open upload, by upload id.
class UploadProgressRegistry final
{
public:
    static constexpr int DigestThreads = 2;

    UploadProgressRegistry();
    ~UploadProgressRegistry();

    // The progress of a session, created on first use and brought up to date with the chunks
    // on record (`doneChunks`), which other instances of a cluster may have written.
    std::shared_ptr<UploadProgress> get(const UploadSession &session, const QString &path,
                                        const std::function<std::vector<int>()> &doneChunks);
    void drop(const QString &uploadId);

    // Progress nobody asked for this long is forgotten (the upload went on, or was merged, on
    // another instance); it is rebuilt from the record if it comes back.
    static constexpr std::chrono::minutes UnusedLifetime{60};

private:
    struct Entry
    {
        std::shared_ptr<UploadProgress> progress;
        std::chrono::steady_clock::time_point lastUsed;
    };

    std::mutex m_mutex;
    std::map<QString, Entry> m_sessions;
    std::unique_ptr<WorkerPool> m_pool;
};

} // namespace tvr::server
