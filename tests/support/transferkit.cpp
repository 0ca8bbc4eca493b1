#include "transferkit.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <algorithm>

bool writeRandomFile(const QString &path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator generator(seed);
    QByteArray block(8 * 1024 * 1024, Qt::Uninitialized);
    for (qint64 written = 0; written < size;) {
        generator.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        const qint64 n = std::min<qint64>(block.size(), size - written);
        if (file.write(block.constData(), n) != n)
            return false;
        written += n;
    }
    return true;
}

QByteArray md5OfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(&file);
    return hash.result().toHex();
}

bool settled(const TransferTask *task, TransferTask::State state)
{
    return task->state() == state && !task->isBusy();
}

DataRateWatch::DataRateWatch(const TransferTask *task)
{
    QObject::connect(task, &TransferTask::changed, &m_context, [this, task] {
        if (task->state() != TransferTask::State::Running)
            return;
        if (m_firstBytes < 0 && task->doneBytes() > 0) {
            m_clock.start();
            m_firstBytes = task->doneBytes();
            m_lastBytes = m_firstBytes;
        }
        if (m_firstBytes >= 0 && task->doneBytes() > m_lastBytes) {
            m_lastBytes = task->doneBytes();
            m_lastMs = m_clock.elapsed();
        }
    });
}

double DataRateWatch::bytesPerSecond() const
{
    return m_lastMs > 0 ? double(bytes()) * 1000.0 / double(m_lastMs) : -1.0;
}
