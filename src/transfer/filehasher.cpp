#include "transfer/filehasher.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QThread>

FileHasher::FileHasher(QObject *parent)
    : QObject(parent)
{}

FileHasher::~FileHasher()
{
    if (m_thread) {
        m_cancel = true;
        m_thread->wait();
    }
}

void FileHasher::start(const QString &path, qint64 size)
{
    if (m_thread)
        return;
    m_thread.reset(QThread::create([this, path, size] { run(path, size); }));
    m_thread->start();
}

void FileHasher::run(const QString &path, qint64 size)
{
    // Runs on the worker: touches only its locals and emits (queued to the owner's thread).
    const QString readError = QStringLiteral("无法读取文件：%1").arg(QFileInfo(path).fileName());
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit failed(readError);
        return;
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray slice(qMin(size, SliceSize), Qt::Uninitialized);
    qint64 hashed = 0;
    while (hashed < size) {
        if (m_cancel)
            return;
        const qint64 want = qMin(size - hashed, SliceSize);
        const qint64 got = file.read(slice.data(), want);
        if (got != want) { // shrunk or unreadable: the digest could not describe the file we would send
            emit failed(readError);
            return;
        }
        hash.addData(QByteArrayView(slice.constData(), got));
        hashed += got;
        emit progress(hashed, size);
    }
    emit finished(QString::fromLatin1(hash.result().toHex()));
}
