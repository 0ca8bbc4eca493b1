#include "uploadprogress.h"

#include "uploadsessions.h"
#include "workerpool.h"

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
    EVP_DigestInit_ex(m_md5.ctx, EVP_md5(), nullptr);
    EVP_DigestInit_ex(m_sha256.ctx, EVP_sha256(), nullptr);
}

UploadProgress::~UploadProgress()
{
    EVP_MD_CTX_free(m_md5.ctx);
    EVP_MD_CTX_free(m_sha256.ctx);
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
    m_writing.insert(index);
    return Claim::Claimed;
}

void UploadProgress::release(int index, bool complete)
{
    {
        std::lock_guard lock(m_mutex);
        m_writing.erase(index);
        if (complete && index >= 0 && size_t(index) < m_done.size())
            m_done[size_t(index)] = true;
        advanceLocked();
    }
    m_changed.notify_all();
}

void UploadProgress::markDone(int index)
{
    release(index, true);
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
    if (lane.running || lane.hashed >= m_prefixBytes || m_failed)
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
            if (fd < 0)
                m_failed = true;
            if (m_failed || lane.hashed >= m_prefixBytes) {
                lane.running = false;
                break;
            }
            from = lane.hashed;
            until = m_prefixBytes;
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

UploadProgressRegistry::UploadProgressRegistry()
    : m_pool(std::make_unique<WorkerPool>(DigestThreads, "tvr-digest"))
{}

UploadProgressRegistry::~UploadProgressRegistry()
{
    m_pool.reset(); // finishes the running lanes while their sessions are still alive
}

std::shared_ptr<UploadProgress> UploadProgressRegistry::get(const UploadSession &session, const QString &path,
                                                            const std::vector<int> &doneChunks)
{
    std::lock_guard lock(m_mutex);
    auto &slot = m_sessions[session.id];
    if (!slot) {
        slot = std::make_shared<UploadProgress>(path, session.size, session.chunkSize, session.totalChunks, *m_pool);
        for (int index : doneChunks)
            slot->markDone(index);
    }
    return slot;
}

void UploadProgressRegistry::drop(const QString &uploadId)
{
    std::lock_guard lock(m_mutex);
    m_sessions.erase(uploadId);
}

} // namespace tvr::server
