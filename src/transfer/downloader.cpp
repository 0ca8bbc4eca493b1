#include "transfer/downloader.h"

#include "net/httpclient.h"
#include "transfer/safefilename.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QRegularExpression>

namespace {
const QString SaveFailedText = QStringLiteral("下载已完成，但保存失败：目标文件被占用（常见于杀毒软件正在扫描 .exe）。"
                                              "请稍后重试或关闭占用程序。");

// TOTAL of "bytes */TOTAL" (or of "bytes A-B/TOTAL"); -1 when the header states none.
qint64 contentRangeTotal(const QByteArray &header)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*bytes\\s+(?:\\*|\\d+-\\d+)/(\\d+)\\s*$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(header));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}
} // namespace

Downloader::Downloader(QObject *parent)
    : QObject(parent)
{}

Downloader::~Downloader() = default;

void Downloader::start(const QString &path, const QString &dir, const QString &fileName, bool resume)
{
    m_path = path;
    m_absPath = QDir(dir).absoluteFilePath(safeFileName(fileName));
    m_partPath = m_absPath + QStringLiteral(".part");
    m_total = 0;
    m_startMs = QDateTime::currentMSecsSinceEpoch();
    const QFileInfo part(m_partPath);
    m_baseOffset = resume && part.exists() ? part.size() : 0;
    request();
}

void Downloader::request()
{
    m_ranged = m_baseOffset > 0;
    const QByteArray range = m_ranged ? "bytes=" + QByteArray::number(m_baseOffset) + '-' : QByteArray();
    QPointer<Downloader> self(this);
    QNetworkReply *reply = HttpClient::instance()->download(
        m_path, m_partPath,
        [self](qint64 received, qint64 total) {
            if (self)
                self->onProgress(received, total);
        },
        [self](const HttpResponse &response) {
            if (self)
                self->onDone(response);
        },
        range);
    if (reply)
        reply->setParent(this); // a job destroyed with its page takes its transfer along
    m_reply = reply;
}

void Downloader::onProgress(qint64 received, qint64 replyTotal)
{
    // A server that ignores Range sends the whole file, which replaces the side file.
    if (m_ranged && m_baseOffset > 0 && m_reply &&
        m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200)
        m_baseOffset = 0;

    const qint64 done = m_baseOffset + received;
    // At the end of a reply without a length the access manager reports the received count as
    // its total; only a length the server stated counts.
    const bool lengthStated = m_reply && m_reply->header(QNetworkRequest::ContentLengthHeader).isValid();
    if (replyTotal > 0 && lengthStated)
        m_total = m_baseOffset + replyTotal;
    const qint64 elapsed = QDateTime::currentMSecsSinceEpoch() - m_startMs;
    qint64 speed = 0;
    int eta = -1;
    if (elapsed >= 1) {
        speed = done * 1000 / elapsed;
        if (speed > 0 && done < m_total)
            eta = int((m_total - done) / speed);
    }
    emit sigProgress(done, m_total, speed, eta);
}

void Downloader::onDone(const HttpResponse &response)
{
    if (m_reply)
        m_reply->deleteLater();

    if (response.ok) {
        finish();
        return;
    }
    if (response.status == 416 && m_ranged) {
        if (sideFileIsComplete()) {
            finish();
            return;
        }
        if (!m_restarted) {
            // The side file does not match the server's file (larger, or the server changed it):
            // appending to it could only produce a corrupt file, so start over from zero.
            m_restarted = true;
            QFile::remove(m_partPath);
            m_baseOffset = 0;
            m_total = 0;
            request();
            return;
        }
    }
    emit sigFailed(response.error.isEmpty() ? QStringLiteral("下载失败") : response.error);
}

bool Downloader::sideFileIsComplete() const
{
    const qint64 serverTotal = m_reply ? contentRangeTotal(m_reply->rawHeader("Content-Range")) : -1;
    const qint64 sideSize = QFileInfo(m_partPath).size();
    return sideSize > 0 && (serverTotal < 0 || serverTotal == sideSize);
}

void Downloader::finish()
{
    if (!finalize()) {
        emit sigFailed(SaveFailedText);
        return;
    }
    emit sigDone(m_absPath);
    deleteLater();
}

bool Downloader::finalize()
{
    if (QFileInfo::exists(m_absPath) || QFileInfo(m_absPath).isSymLink())
        QFile::remove(m_absPath);
    if (QFile::rename(m_partPath, m_absPath))
        return true;
    if (QFile::copy(m_partPath, m_absPath)) {
        QFile::remove(m_partPath);
        return true;
    }
    return false;
}
