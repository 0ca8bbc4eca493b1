#include "update/installerassembler.h"

#include "update/sha512hash.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <numeric>
#include <utility>

namespace {
// Few calls into the hash and the disk, little memory.
constexpr qint64 SliceBytes = 1024 * 1024;

using Outcome = InstallerAssembly::Outcome;
} // namespace

InstallerAssembler::InstallerAssembler(QList<InstallerPart> parts)
    : m_parts(std::move(parts))
    , m_written(size_t(m_parts.size()), 0)
{}

InstallerAssembler::~InstallerAssembler()
{
    cancel();
}

void InstallerAssembler::start(const QString &target, Done done)
{
    m_target = target;
    m_done = std::move(done);
    m_worker = std::thread([this] { run(); });
}

void InstallerAssembler::setWritten(int index, qint64 bytes)
{
    if (index < 0 || index >= int(m_written.size()))
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_written[size_t(index)] = std::max(m_written[size_t(index)], bytes);
    }
    m_wake.notify_one();
}

void InstallerAssembler::writersClosed()
{
    {
        const std::lock_guard lock(m_mutex);
        m_writersClosed = true;
    }
    m_wake.notify_one();
}

void InstallerAssembler::cancel()
{
    {
        const std::lock_guard lock(m_mutex);
        m_cancel = true;
    }
    m_wake.notify_one();
    if (m_worker.joinable())
        m_worker.join();
}

bool InstallerAssembler::finish()
{
    // An installer left by an earlier download is replaced, never appended to or kept instead.
    QFile::remove(m_target);
    if (!QFile::rename(m_parts.first().path, m_target))
        return false;
    for (qsizetype i = 1; i < m_parts.size(); ++i)
        QFile::remove(m_parts.at(i).path);
    return true;
}

void InstallerAssembler::run()
{
    InstallerAssembly result = join();
    if (result.outcome == Outcome::Joined) {
        if (!waitForWriters())
            return;
        if (!finish())
            result = {Outcome::CannotWrite, {}};
    }
    bool canceled = false;
    {
        const std::lock_guard lock(m_mutex);
        canceled = m_cancel;
    }
    if (!canceled && m_done)
        m_done(result);
}

qint64 InstallerAssembler::waitForBytes(int index, qint64 offset)
{
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [&] { return m_cancel || m_written[size_t(index)] > offset; });
    return m_cancel ? -1 : m_written[size_t(index)];
}

bool InstallerAssembler::waitForWriters()
{
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [&] { return m_cancel || m_writersClosed; });
    return !m_cancel;
}

InstallerAssembly InstallerAssembler::join()
{
    if (m_parts.isEmpty())
        return {Outcome::Incomplete, {}};
    Sha512Hash hash;
    QByteArray slice(SliceBytes, Qt::Uninitialized);
    QFile joined(m_parts.first().path);
    for (int index = 0; index < int(m_parts.size()); ++index) {
        const InstallerPart &part = m_parts.at(index);
        QFile in(part.path);
        if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return {Outcome::Incomplete, {}};
        for (qint64 done = 0; done < part.length;) {
            // One slice at a time, so a cancel is seen within a slice.
            const qint64 written = waitForBytes(index, done);
            if (written < 0)
                return {Outcome::Canceled, {}};
            const qint64 n = std::min({written, part.length, done + SliceBytes}) - done;
            // A short read is a part that changed under us.
            if (n <= 0 || in.read(slice.data(), n) != n)
                return {Outcome::Incomplete, {}};
            hash.addData(QByteArrayView(slice.constData(), n));
            if (index > 0 && joined.write(slice.constData(), n) != n)
                return {Outcome::CannotWrite, {}};
            done += n;
        }
        in.close();
        // Each part holds exactly its share, no more.
        if (QFileInfo(part.path).size() != part.length)
            return {Outcome::Incomplete, {}};
        if (index == 0 && !joined.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
            return {Outcome::CannotWrite, {}};
    }
    if (joined.size() != std::accumulate(m_parts.cbegin(), m_parts.cend(), qint64(0),
                                         [](qint64 sum, const InstallerPart &part) { return sum + part.length; }))
        return {Outcome::Incomplete, {}};
    joined.close();
    return {Outcome::Joined, hash.result().toBase64()};
}
