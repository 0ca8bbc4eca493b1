#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <memory>

class QThread;

// MD5 of the first bytes of a file, read and digested in 8 MiB slices on a worker thread so the
// GUI thread never waits on the disk or the digest. Signals arrive on the owner's thread (queued).
class FileHasher final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileHasher)

public:
    static constexpr qint64 SliceSize = 8388608;

    explicit FileHasher(QObject *parent = nullptr);
    // Stops the worker after its current slice and waits for it.
    ~FileHasher() override;

    // Digests the first size bytes of path. Call once.
    void start(const QString &path, qint64 size);

signals:
    void progress(qint64 hashedBytes, qint64 totalBytes);
    void finished(const QString &md5Hex); // 32 lower-case hexadecimal digits
    void failed(const QString &error);

private:
    void run(const QString &path, qint64 size);

    std::atomic_bool m_cancel{false};
    std::unique_ptr<QThread> m_thread;
};
