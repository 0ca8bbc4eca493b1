#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// One region of the side file a ranged download writes: its offset and the bytes it must hold.
struct InstallerPart
{
    qint64 offset = 0;
    qint64 length = 0;
};

struct InstallerAssembly
{
    enum class Outcome { Joined, CannotWrite, Incomplete, Canceled };
    Outcome outcome = Outcome::Joined;
    QByteArray digestBase64; // SHA-512 of the whole installer, when joined
};

// Digests the side file of a ranged download while its regions are still being written: a worker
// thread follows the regions in order, reads each as far as it has been written and feeds the
// hash. So when the last byte lands, little is left to do, and the window's thread never hashes.
//
// The downloading side reports with setWritten() how far each region has been written (with
// unbuffered writes, so the bytes are in the file), and with writersClosed() that it has closed
// the file. Once every region is whole, the file holds nothing past them and the writers are
// closed, the worker moves the side file to the target (replacing any file there) and calls done
// on its own thread.
class InstallerAssembler final
{
public:
    using Done = std::function<void(const InstallerAssembly &)>;

    // The regions tile the side file from its first byte, in order.
    InstallerAssembler(const QString &sideFile, QList<InstallerPart> parts);
    // Cancels and waits for the worker.
    ~InstallerAssembler();
    InstallerAssembler(const InstallerAssembler &) = delete;
    InstallerAssembler &operator=(const InstallerAssembler &) = delete;

    void start(const QString &target, Done done);
    // Bytes of region index on disk so far, counted from its offset; never decreases.
    void setWritten(int index, qint64 bytes);
    // The side file is not open for writing any more.
    void writersClosed();
    // Stops the worker and waits for it (it looks at the flag between slices). done is not called
    // after this returns; the side file stays for the caller to keep or remove.
    void cancel();

private:
    void run();
    InstallerAssembly digest();
    // Waits until region index has more than offset bytes; returns how many it has, or -1 when canceled.
    qint64 waitForBytes(int index, qint64 offset);
    // Waits for writersClosed(); false when canceled.
    bool waitForWriters();

    QString m_sideFile;
    QList<InstallerPart> m_parts;
    std::mutex m_mutex; // guards m_written, m_cancel and m_writersClosed
    std::vector<qint64> m_written;
    bool m_cancel = false;
    bool m_writersClosed = false;
    QString m_target;
    std::condition_variable m_wake;
    std::thread m_worker;
    Done m_done;
};
