#include "update/installerassembler.h"

#include "update/sha512hash.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <utility>

namespace {
// Few calls into the hash and the disk, little memory.
constexpr qint64 SliceBytes = 1024 * 1024;

using Outcome = InstallerAssembly::Outcome;
} // namespace

InstallerAssembler::InstallerAssembler(const QString &sideFile, QList<InstallerPart> parts)
    : m_sideFile(sideFile)
    , m_parts(std::move(parts))
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

void InstallerAssembler::run()
{
    InstallerAssembly result = digest();
    if (result.outcome == Outcome::Joined) {
        if (!waitForWriters())
            return;
        // An installer left by an earlier download is replaced, never kept instead.
        QFile::remove(m_target);
        if (!QFile::rename(m_sideFile, m_target))
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

InstallerAssembly InstallerAssembler::digest()
{
    if (m_parts.isEmpty())
        return {Outcome::Incomplete, {}};
    Sha512Hash hash;
    QByteArray slice(SliceBytes, Qt::Uninitialized);
    QFile in(m_sideFile);
    qint64 expected = 0;
    for (int index = 0; index < int(m_parts.size()); ++index) {
        const InstallerPart &part = m_parts.at(index);
        // The regions must follow each other, or the digest would skip or repeat bytes.
        if (part.offset != expected)
            return {Outcome::Incomplete, {}};
        expected += part.length;
        for (qint64 done = 0; done < part.length;) {
            // One slice at a time, so a cancel is seen within a slice.
            const qint64 written = waitForBytes(index, done);
            if (written < 0)
                return {Outcome::Canceled, {}};
            // Opened once the first bytes are reported: the writer creates the file.
            if (!in.isOpen() && !in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
                return {Outcome::Incomplete, {}};
            const qint64 n = std::min({written, part.length, done + SliceBytes}) - done;
            // A short read is a file that changed under us.
            if (n <= 0 || !in.seek(part.offset + done) || in.read(slice.data(), n) != n)
                return {Outcome::Incomplete, {}};
            hash.addData(QByteArrayView(slice.constData(), n));
            done += n;
        }
    }
    // The file holds exactly the regions, no more.
    if (QFileInfo(m_sideFile).size() != expected)
        return {Outcome::Incomplete, {}};
    return {Outcome::Joined, hash.result().toBase64()};
}
