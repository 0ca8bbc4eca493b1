#include "transfer/chunkreader.h"

#include <QFile>
#include <QThread>

ChunkReader::ChunkReader(QObject *parent)
    : QObject(parent)
    , m_thread(std::make_unique<QThread>())
{}

ChunkReader::~ChunkReader()
{
    m_thread->quit();
    m_thread->wait();
    // m_file is destroyed after the thread has stopped, so no read runs on a closed file.
}

void ChunkReader::close()
{
    if (!m_file)
        return;
    m_thread->quit();
    m_thread->wait();
    m_file.reset(); // the worker has stopped: nothing reads it any more
}

bool ChunkReader::open(const QString &path)
{
    if (m_file)
        return false;
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly))
        return false;
    m_file = std::move(file);
    m_file->moveToThread(m_thread.get());
    m_thread->start();
    return true;
}

void ChunkReader::read(int tag, qint64 offset, qint64 length)
{
    if (!m_file)
        return;
    QFile *file = m_file.get();
    // Runs on the worker (the file's thread); the signal is queued to the owner's thread.
    QMetaObject::invokeMethod(
        file,
        [this, file, tag, offset, length] {
            QByteArray bytes;
            if (file->seek(offset))
                bytes = file->read(length);
            emit sliceRead(tag, bytes);
        },
        Qt::QueuedConnection);
}
