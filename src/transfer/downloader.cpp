#include "transfer/downloader.h"

#include "net/httpclient.h"
#include "transfer/contentrange.h"
#include "transfer/downloadregistry.h"
#include "transfer/rangedfetch.h"
#include "transfer/safefilename.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QSaveFile>
#include <QTimer>
#include <algorithm>
#include <limits>

namespace {
const QString SaveFailedText = QStringLiteral("下载已完成，但保存失败：目标文件被占用（常见于杀毒软件正在扫描 .exe）。"
                                              "请稍后重试或关闭占用程序。");
const QString WrongPositionText = QStringLiteral("服务器返回的数据位置与请求不符，未写入");
const QString IncompleteText = QStringLiteral("下载中断：文件不完整。已下载的部分已保留，再次下载将从断点继续");
const QString ChangedText = QStringLiteral("服务器上的文件已变化，未完成的部分不能继续");
const QString SourceKey = QStringLiteral("source");
const QString EtagKey = QStringLiteral("etag");
const QString SizeKey = QStringLiteral("size");
const QString RangesKey = QStringLiteral("ranges");
// The note beside a side file is a few hundred bytes; anything bigger is not ours.
constexpr qint64 MaxMetaBytes = 64 * 1024;
int defaultStreamCount = RangedFetch::DefaultStreams;

// Where the file comes from, without any query (which could carry a credential).
QString sourceOf(const QString &path)
{
    const qsizetype query = path.indexOf(QLatin1Char('?'));
    return query < 0 ? path : path.left(query);
}

// If-Range takes only a strong validator.
bool isStrongEtag(const QByteArray &etag)
{
    return etag.size() >= 2 && etag.startsWith('"') && etag.endsWith('"');
}

int statusOf(const QNetworkReply &reply)
{
    return reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}
} // namespace

Downloader::Downloader(QObject *parent)
    : QObject(parent)
    , m_stallTimer(new QTimer(this))
{
    m_stallTimer->setSingleShot(true);
    connect(m_stallTimer, &QTimer::timeout, this, &Downloader::onStalled);
}

Downloader::~Downloader()
{
    releaseTarget();
}

QString Downloader::targetPath(const QString &dir, const QString &fileName)
{
    return QDir(dir).absoluteFilePath(safeFileName(fileName));
}

void Downloader::setDefaultStreams(int streams)
{
    defaultStreamCount = std::clamp(streams, 1, RangedFetch::MaxStreams);
}

int Downloader::defaultStreams()
{
    return defaultStreamCount;
}

QString Downloader::metaPathFor(const QString &partPath)
{
    return RangedFetch::recordPathFor(partPath);
}

void Downloader::start(const QString &path, const QString &dir, const QString &fileName, bool resume)
{
    m_path = path;
    m_absPath = targetPath(dir, fileName);
    m_partPath = m_absPath + QStringLiteral(".part");
    m_metaPath = metaPathFor(m_partPath);
    if (!DownloadRegistry::claim(m_absPath)) {
        // Another job writes this file: leave its side file and its note alone.
        m_ended = true;
        emit sigFailed(DownloadRegistry::busyText(QFileInfo(m_absPath).fileName()));
        return;
    }
    m_claimed = true;
    if (HttpClient::instance()->proxyFor(HttpClient::instance()->buildUrl(path)).type() == QNetworkProxy::Socks5Proxy)
        m_partBytes = ProxyPartBytes;
    m_total = 0;
    m_startMs = QDateTime::currentMSecsSinceEpoch();
    m_baseOffset = 0;
    m_origin = Origin();

    if (resume && resumeSegments())
        return;
    const QFileInfo part(m_partPath);
    if (resume && part.exists() && part.size() > 0) {
        Origin origin;
        // Only a side file known to hold the start of this very file is continued; any other is
        // started over (the request without a range truncates it).
        if (readOrigin(origin) && origin.source == sourceOf(path) && (origin.size < 0 || part.size() <= origin.size)) {
            m_origin = origin;
            m_baseOffset = part.size();
        }
    }
    // A side file that is not continued stays untouched (with its note) until a whole body arrives.
    request();
}

void Downloader::request()
{
    m_ranged = m_baseOffset > 0;
    m_gotPart = false;
    m_refusal.clear();
    HttpClient::DownloadOptions options;
    if (m_ranged || m_partBytes > 0) {
        options.range = "bytes=" + QByteArray::number(m_baseOffset) + '-';
        if (m_partBytes > 0)
            options.range += QByteArray::number(m_baseOffset + m_partBytes - 1);
        if (m_ranged && isStrongEtag(m_origin.etag))
            options.ifRange = m_origin.etag;
        // A part may be read without a bound: it is at most m_partBytes.
        options.unboundedReadBuffer = m_partBytes > 0;
    }
    QPointer<Downloader> self(this);
    options.checkHeaders = [self](const QNetworkReply &reply) {
        return self ? self->checkHeaders(reply) : QStringLiteral("下载已取消");
    };
    m_stallTimer->start(m_stallTimeoutMs);
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
        options);
    if (reply)
        reply->setParent(this); // a job destroyed with its page takes its transfer along
    m_reply = reply;
}

void Downloader::restartFromZero()
{
    m_restarted = true;
    QFile::remove(m_partPath);
    QFile::remove(m_metaPath);
    m_baseOffset = 0;
    m_total = 0;
    m_origin = Origin();
    request();
}

QString Downloader::checkHeaders(const QNetworkReply &reply)
{
    m_stallTimer->start(m_stallTimeoutMs);
    const QByteArray etag = reply.rawHeader("ETag");
    if (statusOf(reply) == 206) {
        const ContentRange range = ContentRange::parse(reply.rawHeader("Content-Range"));
        if (!range.valid || range.first != m_baseOffset) {
            m_refusal = WrongPositionText;
            return m_refusal;
        }
        m_gotPart = true;
        m_wholeSize = range.total;
        if (m_ranged) {
            const bool otherEtag = !m_origin.etag.isEmpty() && !etag.isEmpty() && etag != m_origin.etag;
            const bool otherSize = m_origin.size >= 0 && range.total >= 0 && range.total != m_origin.size;
            if (otherEtag || otherSize) {
                m_refusal = ChangedText;
                return m_refusal;
            }
            return {};
        }
        // The first part: the side file starts over with it.
        m_origin = {sourceOf(m_path), etag, range.total};
        writeOrigin(m_origin);
        return {};
    }
    // A whole body: it replaces whatever the side file held, so the note describes it from now on.
    m_baseOffset = 0;
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    m_wholeSize = length.isValid() ? length.toLongLong() : -1;
    m_origin = {sourceOf(m_path), etag, m_wholeSize};
    if (wantsSegments(reply)) {
        // Refused before a byte is written; onDone starts the streams.
        m_toSegments = true;
        m_refusal = QStringLiteral("分段下载");
        return m_refusal;
    }
    writeOrigin(m_origin);
    return {};
}

void Downloader::onProgress(qint64 received, qint64 replyTotal)
{
    m_stallTimer->start(m_stallTimeoutMs);
    const qint64 done = m_baseOffset + received;
    // At the end of a reply without a length the access manager reports the received count as
    // its total; only a length the server stated counts.
    const bool lengthStated = m_reply && m_reply->header(QNetworkRequest::ContentLengthHeader).isValid();
    if (m_gotPart && m_wholeSize > 0)
        m_total = m_wholeSize; // a part's own length is not the file's
    else if (replyTotal > 0 && lengthStated)
        m_total = m_baseOffset + replyTotal;
    reportProgress(done, m_total);
}

void Downloader::pause()
{
    if (m_ended || m_pausing)
        return;
    m_pausing = true;
    m_stallTimer->stop();
    if (m_fetch) {
        // Every stream's progress goes into the note; the next job continues each.
        stopSegments();
        m_ended = true;
        if (m_discardPartOnFailure) {
            QFile::remove(m_partPath);
            QFile::remove(m_metaPath);
        }
        releaseTarget();
        emit sigPaused();
        return;
    }
    if (m_reply && m_reply->isRunning()) {
        m_reply->abort(); // answered through onDone, which ends the pause
        return;
    }
    if (m_reply) {
        // The body is all in but the speed limit still holds part of it back. Stopped, it writes no
        // more to the side file, where a resumed download may write as soon as the target is released.
        QNetworkReply *reply = m_reply;
        m_reply = nullptr;
        HttpClient::stop(reply);
        reply->deleteLater();
    }
    releaseTarget();
    m_ended = true;
    emit sigPaused();
}

void Downloader::cancel()
{
    if (m_ended)
        return;
    m_ended = true;
    m_stallTimer->stop();
    stopSegments();
    if (m_reply) {
        QNetworkReply *reply = m_reply;
        m_reply = nullptr;
        reply->disconnect(); // its end must not reach onDone
        HttpClient::stop(reply);
        reply->deleteLater();
    }
    if (m_claimed) {
        QFile::remove(m_partPath);
        QFile::remove(m_metaPath);
    }
    releaseTarget();
}

void Downloader::onStalled()
{
    if (!m_reply)
        return;
    m_stalled = true;
    m_reply->abort(); // answered through onDone
}

void Downloader::onDone(const HttpResponse &response)
{
    m_stallTimer->stop();
    if (m_ended)
        return;
    const QByteArray contentRange = m_reply ? m_reply->rawHeader("Content-Range") : QByteArray();
    const QByteArray etag = m_reply ? m_reply->rawHeader("ETag") : QByteArray();
    if (m_reply)
        m_reply->deleteLater();

    if (m_pausing) {
        // The bytes written so far are whole; the note still names the remote file.
        m_ended = true;
        if (m_discardPartOnFailure) {
            QFile::remove(m_partPath);
            QFile::remove(m_metaPath);
        }
        releaseTarget();
        emit sigPaused();
        return;
    }

    if (m_toSegments) {
        m_toSegments = false;
        startSegments(true);
        return;
    }
    if (m_stalled) {
        m_networkFailure = true;
        const int seconds = (m_stallTimeoutMs + 999) / 1000;
        fail(QStringLiteral("下载中断：%1 秒未收到数据。已下载的部分已保留，再次下载将从断点继续")
                 .arg(QString::number(seconds)));
        return;
    }
    if (!m_refusal.isEmpty()) {
        // The answer did not fit the side file; its body was never written.
        if (!m_restarted) {
            restartFromZero();
            return;
        }
        fail(m_refusal);
        return;
    }
    if (response.ok) {
        const qint64 held = QFileInfo(m_partPath).size();
        // The next part: asked for when parts are fetched one by one, and when a server answered
        // with less than the rest of the file. Each round moves forward, so this ends.
        if (m_gotPart && m_wholeSize > held && held > m_baseOffset) {
            m_baseOffset = held;
            request();
            return;
        }
        if (m_wholeSize >= 0 && held != m_wholeSize) {
            // Never call a file complete that is not the size its server stated.
            m_networkFailure = true;
            fail(IncompleteText);
            return;
        }
        finish();
        return;
    }
    if (response.status == 416 && m_ranged) {
        // Complete only when the server states the total and it is exactly what the side file holds.
        const ContentRange range = ContentRange::parse(contentRange);
        const qint64 sideSize = QFileInfo(m_partPath).size();
        const bool sameFile = m_origin.etag.isEmpty() || etag.isEmpty() || etag == m_origin.etag;
        if (range.valid && range.total > 0 && range.total == sideSize && sameFile &&
            (m_origin.size < 0 || m_origin.size == sideSize)) {
            finish();
            return;
        }
        if (!m_restarted) {
            // Without a stated total the side file cannot be trusted: fetch the file once from zero.
            restartFromZero();
            return;
        }
    }
    m_networkFailure = response.networkError;
    fail(response.error.isEmpty() ? QStringLiteral("下载失败") : response.error);
}

void Downloader::finish()
{
    if (!finalize()) {
        fail(SaveFailedText);
        return;
    }
    QFile::remove(m_metaPath);
    releaseTarget();
    m_ended = true;
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

void Downloader::fail(const QString &err)
{
    m_stallTimer->stop();
    m_ended = true;
    if (m_discardPartOnFailure && m_claimed) {
        QFile::remove(m_partPath);
        QFile::remove(m_metaPath);
    }
    releaseTarget();
    emit sigFailed(err);
}

void Downloader::releaseTarget()
{
    if (!m_claimed)
        return;
    m_claimed = false;
    DownloadRegistry::release(m_absPath);
}

bool Downloader::readOrigin(Origin &origin) const
{
    QFile file(m_metaPath);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxMetaBytes)
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return false;
    const QJsonObject object = document.object();
    // A side file written by several streams has gaps: it is never continued at its end.
    if (object.contains(RangesKey))
        return false;
    origin.source = object.value(SourceKey).toString();
    origin.etag = object.value(EtagKey).toString().toLatin1();
    const QJsonValue size = object.value(SizeKey);
    origin.size = size.isDouble() && size.toDouble() >= 0 && size.toDouble() < 9.0e18 ? qint64(size.toDouble()) : -1;
    // A note that names neither an ETag nor a size cannot tell this file from another one.
    return !origin.source.isEmpty() && (!origin.etag.isEmpty() || origin.size >= 0);
}

void Downloader::writeOrigin(const Origin &origin) const
{
    QJsonObject object{{SourceKey, origin.source}, {EtagKey, QString::fromLatin1(origin.etag)}};
    if (origin.size >= 0)
        object.insert(SizeKey, double(origin.size));
    // Written whole or not at all; without a note the side file is simply not continued later.
    QSaveFile file(m_metaPath);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(object).toJson(QJsonDocument::Compact));
        file.commit();
    }
}

bool Downloader::isSegmented() const
{
    return !m_fetch.isNull();
}

bool Downloader::wantsSegments(const QNetworkReply &reply) const
{
    const int streams = m_streams > 0 ? m_streams : defaultStreamCount;
    const qint64 threshold = m_segmentThreshold > 0 ? m_segmentThreshold : RangedFetch::DefaultThreshold;
    // Parts through a SOCKS5 proxy, and a server that broke its ranges once, stay with one stream.
    return streams > 1 && !m_noSegments && m_partBytes == 0 && !m_ranged && statusOf(reply) == 200 &&
           m_wholeSize >= threshold && reply.rawHeader("Accept-Ranges").toLower().contains("bytes");
}

bool Downloader::resumeSegments()
{
    if (m_partBytes > 0)
        return false; // SOCKS5: the note is ignored and the file starts over with one stream
    const std::optional<RangedFetch::Record> record = RangedFetch::readRecord(m_metaPath);
    if (!record || record->source != sourceOf(m_path))
        return false;
    // The note never counts more than the side file holds; a shorter side file is not ours.
    qint64 needed = 0;
    for (const RangedFetch::Span &span : record->spans) {
        if (span.done > 0)
            needed = std::max(needed, span.next());
    }
    const QFileInfo part(m_partPath);
    if (!part.exists() || part.size() < needed)
        return false;
    m_origin = {record->source, record->etag, record->size};
    startSegments(false);
    return true;
}

void Downloader::startSegments(bool fresh)
{
    RangedFetch::Record record;
    if (fresh) {
        // The side file starts over; the streams write their shares at their offsets.
        QFile::remove(m_partPath);
        record.source = m_origin.source;
        record.etag = m_origin.etag;
        record.size = m_origin.size;
        record.spans = RangedFetch::split(m_origin.size, m_streams > 0 ? m_streams : defaultStreamCount);
    } else {
        record = *RangedFetch::readRecord(m_metaPath);
    }
    m_stallTimer->stop();
    m_total = record.size;
    auto *fetch = new RangedFetch(this);
    m_fetch = fetch;
    fetch->setStallTimeoutMs(m_stallTimeoutMs);
    connect(fetch, &RangedFetch::progressed, this, &Downloader::onSegmentsProgress);
    connect(fetch, &RangedFetch::finished, this, [this] {
        stopSegments();
        finish();
    });
    connect(fetch, &RangedFetch::failed, this, &Downloader::onSegmentsFailed);
    fetch->start(m_path, m_partPath, m_metaPath, record);
}

void Downloader::onSegmentsProgress(qint64 done, qint64 total)
{
    reportProgress(done, total);
}

// Speed and time left over the whole job so far, whether one stream or several brought the bytes.
void Downloader::reportProgress(qint64 done, qint64 total)
{
    const qint64 elapsed = QDateTime::currentMSecsSinceEpoch() - m_startMs;
    qint64 speed = 0;
    int eta = -1;
    if (elapsed >= 1) {
        speed = done * 1000 / elapsed;
        if (speed > 0 && done < total)
            eta = int(qMin<qint64>((total - done) / speed, std::numeric_limits<int>::max()));
    }
    emit sigProgress(done, total, speed, eta);
}

void Downloader::onSegmentsFailed(const QString &err)
{
    const RangedFetch::Failure failure = m_fetch ? m_fetch->failure() : RangedFetch::Failure::Network;
    stopSegments();
    if ((failure == RangedFetch::Failure::NoRanges || failure == RangedFetch::Failure::Changed) && !m_restarted) {
        // The server does not keep to ranges for this file: one stream from the first byte.
        m_noSegments = true;
        restartFromZero();
        return;
    }
    m_networkFailure = failure == RangedFetch::Failure::Network;
    fail(err);
}

void Downloader::stopSegments()
{
    if (!m_fetch)
        return;
    RangedFetch *fetch = m_fetch;
    m_fetch = nullptr;
    fetch->disconnect(this);
    fetch->stop(); // the note keeps every stream's progress
    fetch->deleteLater();
}
