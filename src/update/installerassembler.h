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
// unbuffered writes, so the bytes are in the file). The worker ends once every part is whole and
// calls done on its own thread. finish() then, on the caller's side and after every writer has
// closed its part file, moves the joined file to the target and removes the other parts.
class InstallerAssembler final
{
public:
    using Done = std::function<void(const InstallerAssembly &)>;

    explicit InstallerAssembler(QList<InstallerPart> parts);
    // Cancels and waits for the worker.
    ~InstallerAssembler();
    InstallerAssembler(const InstallerAssembler &) = delete;
    InstallerAssembler &operator=(const InstallerAssembler &) = delete;

    void start(Done done);
    // Bytes of part index on disk so far; never decreases.
    void setWritten(int index, qint64 bytes);
    // Stops the worker and waits for it (it looks at the flag between slices). done is not called
    // after this returns; the part files stay for the caller to remove.
    void cancel();
    // After done reported Joined: the first part becomes target (replacing any file there) and the
    // other parts are removed. False when the rename fails.
    bool finish(const QString &target);

private:
    void run();
    InstallerAssembly join();
    // Waits until part index has more than offset bytes; returns how many it has, or -1 when canceled.
    qint64 waitForBytes(int index, qint64 offset);

    QList<InstallerPart> m_parts;
    std::mutex m_mutex; // guards m_written and m_cancel
    std::vector<qint64> m_written;
    bool m_cancel = false;
    std::condition_variable m_wake;
    std::thread m_worker;
    Done m_done;
};
