#pragma once

#include "transfer/transfertask.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

// What the transfer tests and benchmarks share: files of reproducible random bytes, their
// digests, and how a job's end and data rate look from outside.

// size bytes from a generator seeded with seed: the same seed gives the same file.
bool writeRandomFile(const QString &path, qint64 size, quint32 seed = 20240611);

// The MD5 of a file's bytes as lower-case hex; empty when it cannot be read.
QByteArray md5OfFile(const QString &path);

// In state and with nothing of it still running (no chunk, reply or worker in flight).
bool settled(const TransferTask *task, TransferTask::State state);

// Follows a job's bytes from the first one counted to the last, so that hashing, the first
// request and the merge stay out of its rate. Only growth while running counts: answers that
// arrive after the last byte went move nothing.
class DataRateWatch final
{
public:
    explicit DataRateWatch(const TransferTask *task);

    qint64 bytes() const { return m_firstBytes < 0 ? 0 : m_lastBytes - m_firstBytes; }
    qint64 spanMs() const { return m_lastMs; }
    // Bytes per second over the span; -1 when too little was seen to tell.
    double bytesPerSecond() const;

private:
    QObject m_context;
    QElapsedTimer m_clock;
    qint64 m_firstBytes = -1;
    qint64 m_lastBytes = 0;
    qint64 m_lastMs = 0;
};
