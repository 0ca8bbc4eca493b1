#include "files/uploadprogress.h"

#include "files/uploadsessions.h"
#include "http/workerpool.h"

#include <cerrno>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

namespace tvr::server {

namespace {

constexpr size_t ReadBytes = 1024 * 1024;

QString finalHex(EVP_MD_CTX *ctx)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx, digest, &length);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

} // namespace

UploadProgress::UploadProgress(QString path, qint64 size, qint64 chunkSize, int totalChunks, WorkerPool &pool)
    : m_path(std::move(path))
    , m_size(size)
    , m_chunkSize(chunkSize)
    , m_pool(pool)
    , m_done(size_t(qMax(totalChunks, 0)), false)
{
    m_md5.ctx = EVP_MD_CTX_new();
    m_sha256.ctx = EVP_MD_CTX_new();
    m_md5.checkpoint = EVP_MD_CTX_new();
    m_sha256.checkpoint = EVP_MD_CTX_new();
    EVP_DigestInit_ex(m_md5.ctx, EVP_md5(), nullptr);
    EVP_DigestInit_ex(m_sha256.ctx, EVP_sha256(), nullptr);
}

UploadProgress::~UploadProgress()
{
    for (Lane *lane : {&m_md5, &m_sha256}) {
        EVP_MD_CTX_free(lane->ctx);
        EVP_MD_CTX_free(lane->checkpoint);
    }
}

UploadProgress::Claim UploadProgress::claim(int index, std::chrono::milliseconds wait)
{
    std::unique_lock lock(m_mutex);
    if (index < 0 || size_t(index) >= m_done.size())
        return Claim::Busy;
    const bool free = m_changed.wait_for(lock, wait, [&] { return !m_writing.contains(index); });
    if (!free)
        return Claim::Busy;
    if (m_done[size_t(index)])
        return Claim::AlreadyDone;
    m_writing[index] = 0;
    return Claim::Claimed;
}

void UploadProgress::written(int index, qint64 bytes)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_writing.find(index);
    if (it == m_writing.end())
        return;
    it->second = bytes;
    if (index == m_prefixChunks) {
        schedule(m_md5);
        schedule(m_sha256);
    }
}

void UploadProgress::release(int index, bool complete)
{
    {
        std::lock_guard lock(m_mutex);
        m_writing.erase(index);
        if (complete && index >= 0 && size_t(index) < m_done.size())
            m_done[size_t(index)] = true;
        if (!complete && index == m_prefixChunks) {
            rollBackLocked(m_md5);
            rollBackLocked(m_sha256);
        }
        advanceLocked();
    }
    m_changed.notify_all();
}

qint64 UploadProgress::hashableLocked() const
{
    const auto head = m_writing.find(m_prefixChunks);
    return m_prefixBytes + (head == m_writing.end() ? 0 : head->second);
}

// The lanes may have hashed bytes of the chunk that just failed: they go back to its start.
void UploadProgress::rollBackLocked(Lane &lane)
{
    if (lane.hashed <= m_prefixBytes)
        return;
    if (lane.running) {
        lane.rollBack = true; // the lane's own job restores it, as it holds the context
        return;
    }
    EVP_MD_CTX_copy_ex(lane.ctx, lane.checkpoint);
    lane.hashed = lane.checkpointAt;
}

void UploadProgress::markDone(int index)
{
    release(index, true);
}

void UploadProgress::learnDone(int index)
{
    {
        std::lock_guard lock(m_mutex);
        if (index < 0 || size_t(index) >= m_done.size() || m_done[size_t(index)] || m_writing.contains(index))
            return;
        m_done[size_t(index)] = true;
        advanceLocked();
    }
    m_changed.notify_all();
}

// Extends the complete prefix and sets the lanes going over what it gained.
void UploadProgress::advanceLocked()
{
    const int before = m_prefixChunks;
    while (size_t(m_prefixChunks) < m_done.size() && m_done[size_t(m_prefixChunks)])
        ++m_prefixChunks;
    if (m_prefixChunks == before)
        return;
    m_prefixBytes = qMin(m_size, qint64(m_prefixChunks) * m_chunkSize);
    schedule(m_md5);
    schedule(m_sha256);
}

void UploadProgress::schedule(Lane &lane)
{
    if (lane.running || lane.hashed >= hashableLocked() || m_failed)
        return;
    lane.running = true;
    m_pool.post([self = shared_from_this(), &lane] { self->run(lane); });
}

// Hashes whatever of the prefix the lane has not seen yet, reading it back from the file.
void UploadProgress::run(Lane &lane)
{
    std::vector<char> buffer(ReadBytes);
    const int fd = ::open(m_path.toUtf8().constData(), O_RDONLY | O_CLOEXEC);
    for (;;) {
        qint64 from = 0;
        qint64 until = 0;
        {
            std::lock_guard lock(m_mutex);
            if (lane.rollBack) {
                lane.rollBack = false;
                EVP_MD_CTX_copy_ex(lane.ctx, lane.checkpoint);
                lane.hashed = lane.checkpointAt;
            }
            const qint64 hashable = hashableLocked();
            if (fd < 0)
                m_failed = true;
            if (m_failed || lane.hashed >= hashable) {
                lane.running = false;
                break;
            }
            // Entering the chunk still being written: remember where it starts, so a failure of
            // that chunk can be undone. Complete bytes and bytes of that chunk are never hashed
            // in one read.
            if (lane.hashed == m_prefixBytes && lane.checkpointAt != m_prefixBytes) {
                EVP_MD_CTX_copy_ex(lane.checkpoint, lane.ctx);
                lane.checkpointAt = m_prefixBytes;
            }
            from = lane.hashed;
            until = lane.hashed < m_prefixBytes ? m_prefixBytes : hashable;
        }
        // The lane's context is touched by this job only, so hashing runs without the lock.
        bool readOk = true;
        while (from < until) {
            const ssize_t n =
                ::pread(fd, buffer.data(), size_t(qMin<qint64>(until - from, qint64(buffer.size()))), off_t(from));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                readOk = false;
                break;
            }
            EVP_DigestUpdate(lane.ctx, buffer.data(), size_t(n));
            from += n;
        }
        {
            std::lock_guard lock(m_mutex);
            lane.hashed = from;
            if (!readOk)
                m_failed = true;
        }
        m_changed.notify_all();
    }
    if (fd >= 0)
        ::close(fd);
    m_changed.notify_all();
}

std::optional<UploadProgress::Digests> UploadProgress::digests(std::chrono::milliseconds wait)
{
    std::unique_lock lock(m_mutex);
    if (size_t(m_prefixChunks) < m_done.size())
        return std::nullopt; // chunks are missing
    const bool finished = m_changed.wait_for(lock, wait, [this] {
        return m_failed || (m_md5.hashed >= m_size && m_sha256.hashed >= m_size && !m_md5.running && !m_sha256.running);
    });
    if (!finished || m_failed)
        return std::nullopt;
    // Finalising copies: a second merge attempt (after a failed insert) gets the same answer.
    EVP_MD_CTX *md5 = EVP_MD_CTX_new();
    EVP_MD_CTX *sha = EVP_MD_CTX_new();
    EVP_MD_CTX_copy_ex(md5, m_md5.ctx);
    EVP_MD_CTX_copy_ex(sha, m_sha256.ctx);
    Digests out{finalHex(md5), finalHex(sha)};
    EVP_MD_CTX_free(md5);
    EVP_MD_CTX_free(sha);
    return out;
}

qint64 UploadProgress::hashedBytes()
{
    std::lock_guard lock(m_mutex);
    return qMin(m_md5.hashed, m_sha256.hashed);
}

UploadProgressRegistry::UploadProgressRegistry()
    : m_pool(std::make_unique<WorkerPool>(DigestThreads, "tvr-digest"))
{}

UploadProgressRegistry::~UploadProgressRegistry()
{
    m_pool.reset(); // finishes the running lanes while their sessions are still alive
}

std::shared_ptr<UploadProgress> UploadProgressRegistry::get(const UploadSession &session, const QString &path,
                                                            const std::function<std::vector<int>()> &doneChunks)
{
    // Asked outside the lock: it reads the database.
    const std::vector<int> recorded = doneChunks();
    std::shared_ptr<UploadProgress> progress;
    {
        std::lock_guard lock(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            if (now - it->second.lastUsed > UnusedLifetime && it->second.progress.use_count() == 1)
                it = m_sessions.erase(it);
            else
                ++it;
        }
        Entry &slot = m_sessions[session.id];
        if (!slot.progress) {
            slot.progress =
                std::make_shared<UploadProgress>(path, session.size, session.chunkSize, session.totalChunks, *m_pool);
        }
        slot.lastUsed = now;
        progress = slot.progress;
    }
    for (int index : recorded)
        progress->learnDone(index);
    return progress;
}

void UploadProgressRegistry::drop(const QString &uploadId)
{
    std::lock_guard lock(m_mutex);
    m_sessions.erase(uploadId);
}

} // namespace tvr::server
