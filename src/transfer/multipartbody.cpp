#include "transfer/multipartbody.h"

#include "net/httpclient.h"

#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QRandomGenerator>
#include <QTimer>
#include <algorithm>

namespace {
const QMimeDatabase &mimeDatabase()
{
    static const QMimeDatabase database;
    return database;
}

// Form-data writes parameter values in double quotes; a quote or a line break in a file name
// would end the value or the header early, so they are escaped the way browsers do.
QByteArray quotedParameter(const QString &value)
{
    QByteArray bytes = value.toUtf8();
    bytes.replace('"', "%22").replace('\r', "%0D").replace('\n', "%0A");
    return '"' + bytes + '"';
}
} // namespace

MultipartBody::MultipartBody(QObject *parent)
    : QIODevice(parent)
    , m_wake(new QTimer(this))
{
    const quint64 random[2] = {QRandomGenerator::global()->generate64(), QRandomGenerator::global()->generate64()};
    m_boundary = "tvr-" + QByteArray(reinterpret_cast<const char *>(random), sizeof random).toHex();
    m_wake->setSingleShot(true);
    connect(m_wake, &QTimer::timeout, this, &QIODevice::readyRead);
}

MultipartBody::~MultipartBody() = default;

QByteArray MultipartBody::contentType() const
{
    return "multipart/form-data; boundary=" + m_boundary;
}

void MultipartBody::addBytes(const QByteArray &bytes)
{
    if (!m_segments.isEmpty() && !m_segments.constLast().file) {
        m_segments.last().bytes += bytes;
        m_segments.last().size += bytes.size();
    } else {
        m_segments.append({bytes, nullptr, bytes.size()});
    }
    m_length += bytes.size();
}

void MultipartBody::addField(const QByteArray &name, const QByteArray &value)
{
    addBytes("--" + m_boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n");
}

bool MultipartBody::addFile(const QByteArray &name, const QString &path)
{
    const QFileInfo info(path);
    auto file = std::make_shared<QFile>(path);
    if (!info.isFile() || !file->open(QIODevice::ReadOnly))
        return false;
    QString mimeType = mimeDatabase().mimeTypeForFile(path).name();
    if (mimeType.isEmpty())
        mimeType = QStringLiteral("application/octet-stream");
    addBytes("--" + m_boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"; filename=" +
             quotedParameter(info.fileName()) + "\r\nContent-Type: " + mimeType.toUtf8() + "\r\n\r\n");
    const qint64 size = file->size();
    m_segments.append({QByteArray(), std::move(file), size});
    m_length += size;
    addBytes("\r\n");
    ++m_fileCount;
    return true;
}

void MultipartBody::finish()
{
    addBytes("--" + m_boundary + "--\r\n");
    // Unbuffered: every byte read is a byte the limiter let go, none waits in a read-ahead.
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

qint64 MultipartBody::bytesAvailable() const
{
    return (m_length - m_read) + QIODevice::bytesAvailable();
}

bool MultipartBody::atEnd() const
{
    return m_failed || (m_read >= m_length && QIODevice::bytesAvailable() == 0);
}

qint64 MultipartBody::readData(char *data, qint64 maxSize)
{
    if (m_failed)
        return -1;
    if (m_read >= m_length)
        return -1;
    RateLimiter &limiter = HttpClient::instance()->uploadLimiter();
    const qint64 allowed = limiter.take(std::min(maxSize, m_length - m_read));
    if (allowed <= 0) {
        if (!m_wake->isActive())
            m_wake->start(limiter.waitMs(std::min(maxSize, limiter.burst() / 4 + 1)));
        return 0;
    }
    qint64 done = 0;
    while (done < allowed && m_current < m_segments.size()) {
        Segment &segment = m_segments[m_current];
        const qint64 want = std::min(allowed - done, segment.size - m_offset);
        if (segment.file) {
            const qint64 got = segment.file->read(data + done, want);
            if (got != want) { // shrunk or unreadable: the stated length can no longer be kept
                m_failed = true;
                setErrorString(QStringLiteral("无法读取文件：%1").arg(QFileInfo(segment.file->fileName()).fileName()));
                return done > 0 ? done : -1;
            }
        } else {
            std::copy_n(segment.bytes.constData() + m_offset, want, data + done);
        }
        done += want;
        m_offset += want;
        if (m_offset >= segment.size) {
            if (segment.file)
                segment.file->close();
            ++m_current;
            m_offset = 0;
        }
    }
    m_read += done;
    return done;
}

qint64 MultipartBody::writeData(const char *, qint64)
{
    return -1;
}
