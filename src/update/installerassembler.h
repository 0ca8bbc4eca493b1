#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// One downloaded piece of the installer and the size it must have.
struct InstallerPart
{
    QString path;
    qint64 length = 0;
};

struct InstallerAssembly
{
    enum class Outcome { Joined, CannotWrite, Incomplete, Canceled };
    Outcome outcome = Outcome::Joined;
    QByteArray digestBase64; // SHA-512 of the whole installer, when joined
};

// Joins the part files of a segmented download into the first one and digests the whole, while
// the parts are still arriving: a worker thread follows the parts in order, reads each as far as
// it has been written, feeds the hash and appends the later parts to the first. So when the last
// byte lands, little is left to do, and the window's thread never hashes.
//
// The downloading side reports with setWritten() how far each part file has been written (with
// unbuffered writes, so the bytes are in the file), and with writersClosed() that it has closed
// them all. Once every part is whole and the writers are closed, the worker moves the joined file
// to the target, removes the other parts (unlinking hundreds of MiB takes tens of ms, which the
// window's thread should not spend) and calls done on its own thread.
class InstallerAssembler final
{
public:
    using Done = std::function<void(const InstallerAssembly &)>;

    explicit InstallerAssembler(QList<InstallerPart> parts);
    // Cancels and waits for the worker.
    ~InstallerAssembler();
    InstallerAssembler(const InstallerAssembler &) = delete;
    InstallerAssembler &operator=(const InstallerAssembler &) = delete;

    void start(const QString &target, Done done);
    // Bytes of part index on disk so far; never decreases.
    void setWritten(int index, qint64 bytes);
    // No part file is open for writing any more.
    void writersClosed();
    // Stops the worker and waits for it (it looks at the flag between slices). done is not called
    // after this returns; the part files stay for the caller to remove.
    void cancel();

private:
    // The first part becomes the target (replacing any file there), the others are removed.
    bool finish();
    void run();
    InstallerAssembly join();
    // Waits until part index has more than offset bytes; returns how many it has, or -1 when canceled.
    qint64 waitForBytes(int index, qint64 offset);
    // Waits for writersClosed(); false when canceled.
    bool waitForWriters();

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
