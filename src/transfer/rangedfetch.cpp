#include "transfer/rangedfetch.h"

#include "net/httpclient.h"
#include "transfer/contentrange.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QTimer>
#include <algorithm>

namespace {
const QString SourceKey = QStringLiteral("source");
const QString EtagKey = QStringLiteral("etag");
const QString SizeKey = QStringLiteral("size");
const QString RangesKey = QStringLiteral("ranges");
const QString WrongPositionText = QStringLiteral("服务器返回的数据位置与请求不符，未写入");
const QString IncompleteText = QStringLiteral("下载中断：文件不完整。已下载的部分已保留，再次下载将从断点继续");
const QString ChangedText = QStringLiteral("服务器上的文件已变化，未完成的部分不能继续");
const QString NoRangesText = QStringLiteral("服务器不支持分段下载");
const QString CannotWriteText = QStringLiteral("无法写入文件：%1");
constexpr qint64 MaxRecordBytes = 64 * 1024;
constexpr int MaxSpans = 64;
// Each reply holds at most this much unread, so the shares together cannot pile up memory when
// the disk or the limiter holds them back.
constexpr qint64 ReplyBufferBytes = 1024 * 1024;
constexpr qsizetype CopyBytes = 1024 * 1024;
// Each read from a reply with a bounded buffer wakes the network thread to refill it, and each
// piece read is one write: below this much unread, a share waits a little for more, so a fast
// share moves in large blocks instead of one per arrival.
constexpr qint64 GatherBytes = 512 * 1024;
constexpr int GatherMs = 25;

bool isStrongEtag(const QByteArray &etag)
{
    return etag.size() >= 2 && etag.startsWith('"') && etag.endsWith('"');
}

qint64 jsonInteger(const QJsonValue &value)
{
    return value.isDouble() && value.toDouble() >= 0 && value.toDouble() < 9.0e15 ? qint64(value.toDouble()) : -1;
}
} // namespace

qint64 RangedFetch::Record::done() const
{
    qint64 sum = 0;
    for (const Span &span : spans)
        sum += span.done;
    return sum;
}

QList<RangedFetch::Span> RangedFetch::split(qint64 total, int streams)
{
    QList<Span> spans;
    if (total <= 0)
        return spans;
    const qint64 count = std::clamp<qint64>(streams, 1, std::min<qint64>(MaxStreams, total));
    const qint64 share = total / count;
    for (qint64 i = 0; i < count; ++i) {
        const qint64 start = share * i;
        const qint64 end = i == count - 1 ? total - 1 : start + share - 1;
        spans.append({start, end, 0});
    }
    return spans;
}

std::optional<RangedFetch::Record> RangedFetch::readRecord(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxRecordBytes)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    Record record;
    record.source = object.value(SourceKey).toString();
    record.etag = object.value(EtagKey).toString().toLatin1();
    record.size = jsonInteger(object.value(SizeKey));
    const QJsonArray ranges = object.value(RangesKey).toArray();
    if (record.source.isEmpty() || record.size <= 0 || ranges.isEmpty() || ranges.size() > MaxSpans)
        return std::nullopt;
    // The shares must tile the file exactly, or bytes would be skipped or written twice.
    qint64 expected = 0;
    for (const QJsonValue &value : ranges) {
        const QJsonArray triple = value.toArray();
        if (triple.size() != 3)
            return std::nullopt;
        const Span span{jsonInteger(triple.at(0)), jsonInteger(triple.at(1)), jsonInteger(triple.at(2))};
        if (span.start != expected || span.end < span.start || span.done < 0 || span.done > span.length())
            return std::nullopt;
        expected = span.end + 1;
        record.spans.append(span);
    }
    if (expected != record.size)
        return std::nullopt;
    return record;
}

QString RangedFetch::recordPathFor(const QString &filePath)
{
    return filePath + QStringLiteral(".meta");
}

int RangedFetch::statusOf(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

QNetworkRequest RangedFetch::makeRequest(const QString &path, const Options &options, const QByteArray &range)
{
    HttpClient *client = HttpClient::instance();
    QNetworkRequest request(client->buildUrl(path));
    if (options.sessionHeaders)
        client->applyHeaders(request);
    else
        request.setRawHeader(QByteArrayLiteral("X-TVR-Client"), QByteArrayLiteral("1"));
    // Byte ranges must address the file itself, never a compressed form of it.
    request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    if (!range.isEmpty())
        request.setRawHeader(QByteArrayLiteral("Range"), range);
    if (options.transferTimeoutMs > 0)
        request.setTransferTimeout(options.transferTimeoutMs);
    return request;
}

bool RangedFetch::writeRecord(const QString &path, const Record &record)
{
    QJsonArray ranges;
    for (const Span &span : record.spans)
        ranges.append(QJsonArray{double(span.start), double(span.end), double(span.done)});
    const QJsonObject object{{SourceKey, record.source},
                             {EtagKey, QString::fromLatin1(record.etag)},
                             {SizeKey, double(record.size)},
                             {RangesKey, ranges}};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(object).toJson(QJsonDocument::Compact));
    return file.commit();
}

RangedFetch::RangedFetch(QObject *parent)
    : QObject(parent)
    , m_watchdog(new QTimer(this))
{
    connect(m_watchdog, &QTimer::timeout, this, &RangedFetch::onWatchdog);
}

RangedFetch::~RangedFetch()
{
    stop();
}

QNetworkReply *RangedFetch::get(const QNetworkRequest &request)
{
    // An access manager the caller brought carries everything; otherwise as downloads go.
    return m_options.network ? m_options.network->get(request) : HttpClient::instance()->streamGet(request);
}

void RangedFetch::probe(const QString &path)
{
    QNetworkReply *reply = get(makeRequest(path, m_options, QByteArrayLiteral("bytes=0-0")));
    reply->setParent(this);
    m_probe = reply;
    connect(reply, &QNetworkReply::metaDataChanged, this, &RangedFetch::onProbeAnswer);
    connect(reply, &QNetworkReply::finished, this, &RangedFetch::onProbeAnswer);
}

void RangedFetch::onProbeAnswer()
{
    QNetworkReply *reply = m_probe;
    if (!reply)
        return;
    ProbeResult result;
    result.status = statusOf(reply);
    // Redirects are followed by the access manager; only the final answer counts.
    if (!reply->isFinished() && (result.status == 0 || (result.status >= 300 && result.status < 400)))
        return;
    m_probe = nullptr;
    reply->disconnect(this);
    result.total = ContentRange::parse(reply->rawHeader(QByteArrayLiteral("Content-Range"))).total;
    result.etag = reply->rawHeader(QByteArrayLiteral("ETag"));
    // A server that ignores the range would send the whole file here: deleting a running reply
    // stops it. A one-byte answer is left to finish so its connection can be reused.
    const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    if (!reply->isFinished() && result.status == 206 && length <= 1)
        connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    else
        reply->deleteLater();
    emit probed(result);
}

void RangedFetch::start(const QString &path, const QString &filePath, const QString &recordPath, const Record &record)
{
    m_path = path;
    m_filePath = filePath;
    m_recordPath = recordPath;
    m_record = record;
    m_running = true;
    m_clock.start();
    m_lastActivityMs = 0;
    m_buffer = QByteArray(CopyBytes, Qt::Uninitialized);
    for (int i = 0; i < int(m_record.spans.size()); ++i) {
        auto stream = std::make_unique<Stream>();
        stream->file = std::make_unique<QFile>(filePath);
        // Unbuffered: what the note counts as written is in the file already.
        if (!stream->file->open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
            m_streams.push_back(std::move(stream));
            fail(Failure::Disk, CannotWriteText.arg(filePath));
            return;
        }
        stream->pump = new QTimer(this);
        stream->pump->setSingleShot(true);
        connect(stream->pump, &QTimer::timeout, this, [this, i] { drain(i); });
        m_streams.push_back(std::move(stream));
    }
    saveRecord();
    m_watchdog->start(std::clamp(m_stallTimeoutMs / 4, 50, 1000));
    bool pending = false;
    for (int i = 0; i < int(m_streams.size()); ++i) {
        if (!m_record.spans.at(i).complete()) {
            pending = true;
            request(i);
        }
    }
    if (!pending) {
        // Everything was written by an earlier fetch.
        halt();
        emit finished();
    }
}

void RangedFetch::request(int index)
{
    Stream &stream = *m_streams[size_t(index)];
    const Span &span = m_record.spans.at(index);
    QNetworkRequest request =
        makeRequest(m_path, m_options,
                    QByteArrayLiteral("bytes=") + QByteArray::number(span.next()) + '-' + QByteArray::number(span.end));
    // A changed file then comes whole (200), which is refused below instead of mixed in.
    if (isStrongEtag(m_record.etag))
        request.setRawHeader(QByteArrayLiteral("If-Range"), m_record.etag);
    QNetworkReply *reply = get(request);
    reply->setParent(this);
    // The toolkit's SOCKS5 socket stops delivering once a bounded read buffer has filled: through
    // such a proxy a share is read without a bound.
    const bool socks = HttpClient::instance()->proxyFor(request.url()).type() == QNetworkProxy::Socks5Proxy;
    reply->setReadBufferSize(socks ? 0 : ReplyBufferBytes);
    stream.reply = reply;
    stream.doneAtStart = span.done;
    stream.checked = false;
    stream.refused = false;
    stream.networkDone = false;
    stream.file->seek(span.next());
    connect(reply, &QNetworkReply::readyRead, this, [this, index] {
        Stream &s = *m_streams[size_t(index)];
        // The first bytes go at once: the answer is judged before any byte is kept.
        if (s.checked && s.reply && s.reply->bytesAvailable() < GatherBytes) {
            if (!s.pump->isActive())
                s.pump->start(GatherMs);
            return;
        }
        drain(index);
    });
    connect(reply, &QNetworkReply::finished, this, [this, index] {
        Stream &s = *m_streams[size_t(index)];
        s.networkDone = true;
        if (s.reply && s.reply->isOpen() && s.reply->error() == QNetworkReply::NoError && !s.refused)
            drain(index); // ends the attempt once the limiter let the last byte through
        else
            endAttempt(index);
    });
}

bool RangedFetch::checkAnswer(int index)
{
    Stream &stream = *m_streams[size_t(index)];
    const QNetworkReply *reply = stream.reply;
    const int status = statusOf(reply);
    if (status < 200 || status >= 300)
        return true; // an error answer ends the attempt without a body written
    stream.checked = true;
    if (status != 206) {
        stream.refused = true;
        m_failure = Failure::NoRanges;
        return false;
    }
    const ContentRange range = ContentRange::parse(reply->rawHeader(QByteArrayLiteral("Content-Range")));
    const QByteArray etag = reply->rawHeader(QByteArrayLiteral("ETag"));
    if ((range.total >= 0 && range.total != m_record.size) ||
        (!etag.isEmpty() && !m_record.etag.isEmpty() && etag != m_record.etag)) {
        stream.refused = true;
        m_failure = Failure::Changed;
        return false;
    }
    if (!range.valid || range.first != m_record.spans.at(index).next()) {
        stream.refused = true; // followed up; never written
        return false;
    }
    return true;
}

void RangedFetch::drain(int index)
{
    Stream &stream = *m_streams[size_t(index)];
    QNetworkReply *reply = stream.reply;
    if (!m_running || !reply)
        return;
    Span &span = m_record.spans[index];
    const int status = statusOf(reply);
    if (status < 200 || status >= 300) {
        reply->skip(reply->bytesAvailable()); // an error page is not file content
        if (stream.networkDone)
            endAttempt(index);
        return;
    }
    if (!stream.checked && !checkAnswer(index)) {
        reply->abort(); // finished follows, which ends the attempt
        return;
    }
    m_lastActivityMs = m_clock.elapsed();
    RateLimiter &limiter = HttpClient::instance()->downloadLimiter();
    bool wrote = false;
    while (reply->bytesAvailable() > 0 && !span.complete()) {
        const qint64 ready = std::min({qint64(m_buffer.size()), reply->bytesAvailable(), span.length() - span.done});
        const qint64 want = m_options.limited ? limiter.take(ready) : ready;
        if (want <= 0) {
            if (!stream.pump->isActive())
                stream.pump->start(limiter.waitMs(CopyBytes));
            break;
        }
        const qint64 got = reply->read(m_buffer.data(), want);
        if (got <= 0)
            break;
        if (stream.file->write(m_buffer.constData(), got) != got) {
            fail(Failure::Disk, CannotWriteText.arg(m_filePath));
            return;
        }
        span.done += got;
        wrote = true;
        if (want < ready) {
            // The bucket ran dry: wait for it rather than spin on what trickles back in.
            if (!stream.pump->isActive())
                stream.pump->start(limiter.waitMs(CopyBytes));
            break;
        }
    }
    if (wrote) {
        if (m_clock.elapsed() - m_lastRecordMs >= RecordIntervalMs)
            saveRecord();
        emit progressed(m_record.done(), m_record.size);
        if (!m_running)
            return;
    }
    // A server that sends more than the share asked for never writes into the next one.
    if (span.complete() && !stream.networkDone) {
        stream.reply->abort(); // finished follows, which ends the attempt
        return;
    }
    if (stream.networkDone && (reply->bytesAvailable() == 0 || span.complete()))
        endAttempt(index);
}

void RangedFetch::endAttempt(int index)
{
    Stream &stream = *m_streams[size_t(index)];
    QNetworkReply *reply = stream.reply;
    if (!m_running || !reply)
        return;
    const Span &span = m_record.spans.at(index);
    const int status = statusOf(reply);
    const bool errorAnswer = status >= 300 && !span.complete();
    const QString networkText = HttpClient::networkErrorText(reply);
    reply->disconnect(this);
    reply->deleteLater();
    stream.reply = nullptr;
    stream.pump->stop();
    if (m_failure == Failure::Changed) {
        fail(m_failure, ChangedText);
        return;
    }
    if (m_failure == Failure::NoRanges) {
        fail(m_failure, NoRangesText);
        return;
    }
    if (span.complete()) {
        const bool all =
            std::all_of(m_record.spans.cbegin(), m_record.spans.cend(), [](const Span &s) { return s.complete(); });
        if (all) {
            halt();
            emit finished();
        }
        return;
    }
    // A short answer that moved the share forward is simply followed up from where it stopped;
    // only attempts in a row that bring nothing count against the share.
    bool again = false;
    if (m_options.maxRestarts >= 0) {
        again = ++stream.restarts <= m_options.maxRestarts;
    } else {
        if (span.done > stream.doneAtStart)
            stream.followUps = 0;
        again = ++stream.followUps <= MaxFollowUps;
    }
    if (again) {
        request(index);
        return;
    }
    if (stream.refused) {
        fail(Failure::WrongPosition, WrongPositionText);
        return;
    }
    if (errorAnswer) {
        fail(Failure::Network, QStringLiteral("下载失败(%1)").arg(status));
        return;
    }
    fail(Failure::Network, networkText.isEmpty() ? IncompleteText : networkText);
}

void RangedFetch::onWatchdog()
{
    // The fetch as a whole: with several downloads at once, some shares wait in the access
    // manager's queue for a connection, which is no stall as long as the others move.
    if (m_clock.elapsed() - m_lastActivityMs < m_stallTimeoutMs)
        return;
    const int seconds = (m_stallTimeoutMs + 999) / 1000;
    fail(Failure::Network, QStringLiteral("下载中断：%1 秒未收到数据。已下载的部分已保留，再次下载将从断点继续")
                               .arg(QString::number(seconds)));
}

void RangedFetch::fail(Failure failure, const QString &err)
{
    m_failure = failure;
    halt();
    emit failed(err);
}

void RangedFetch::stop()
{
    if (QNetworkReply *probe = m_probe) {
        m_probe = nullptr;
        probe->disconnect(this);
        probe->abort();
        probe->deleteLater();
    }
    halt();
}

void RangedFetch::halt()
{
    if (!m_running)
        return;
    m_running = false;
    m_watchdog->stop();
    for (const auto &stream : m_streams) {
        if (stream->pump)
            stream->pump->stop();
        if (QNetworkReply *reply = stream->reply) {
            stream->reply = nullptr;
            reply->disconnect(this);
            reply->abort();
            reply->deleteLater();
        }
        if (stream->file)
            stream->file->close();
    }
    saveRecord();
}

void RangedFetch::saveRecord()
{
    m_lastRecordMs = m_clock.elapsed();
    if (!m_recordPath.isEmpty())
        writeRecord(m_recordPath, m_record);
}
