#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

class QFile;
class QThread;

// Reads slices of one file on a worker thread, so the GUI thread never waits on the disk (an
// 8 MiB read can take tens of milliseconds). Each slice arrives by sliceRead on the owner's thread.
class ChunkReader final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ChunkReader)

public:
    explicit ChunkReader(QObject *parent = nullptr);
    // Finishes the slice being read, drops the queued ones and closes the file.
    ~ChunkReader() override;

    // Opens path for reading (on the calling thread, so failure is known at once).
    bool open(const QString &path);
    // Finishes the slice being read, drops the queued ones and closes the file; later reads are ignored.
    void close();
    // True while the file is open.
    bool isOpen() const { return m_file != nullptr; }
    // Queues a read of length bytes at offset; answered by sliceRead with the same tag. A slice
    // shorter than length means the file could not be read there.
    void read(int tag, qint64 offset, qint64 length);

signals:
    void sliceRead(int tag, const QByteArray &bytes);

private:
    std::unique_ptr<QThread> m_thread;
    std::unique_ptr<QFile> m_file; // lives on m_thread once open
};
