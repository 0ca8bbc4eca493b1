#include "update/updatechecker.h"

#include "net/httpclient.h"
#include "transfer/contentrange.h"
#include "transfer/safefilename.h"
#include "update/installerassembler.h"
#include "update/sha512hash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {
constexpr char ManifestName[] = "latest.yml";
// Each reply holds at most this much unread, so four segments cannot pile up memory when the
// disk or the GUI thread falls behind the network.
constexpr qint64 ReplyBufferBytes = 1024 * 1024;
constexpr qsizetype CopyBytes = 256 * 1024;
constexpr double BytesPerMiB = 1048576.0;

#ifdef Q_OS_WIN
const QString FallbackInstallerName = QStringLiteral("tolvar-storage-update.exe");
#else
const QString FallbackInstallerName = QStringLiteral("tolvar-storage-update");
#endif

const QString CheckFailedText = QStringLiteral("检查更新失败：%1");
const QString NoServerText = QStringLiteral("无法连接更新服务器");
const QString ParseFailedText = QStringLiteral("更新信息解析失败");
const QString NoUrlText = QStringLiteral("无安装包地址");
const QString SegmentsBrokenText = QStringLiteral("下载失败（分段连接中断）");
const QString CannotWriteText = QStringLiteral("无法写入临时文件");
const QString IncompleteText = QStringLiteral("下载数据不完整，请重试");
const QString StreamFailedText = QStringLiteral("下载失败：%1");
const QString DigestMismatchText = QStringLiteral("安装包校验未通过，已取消");
const QString DigestMissingText = QStringLiteral("安装包缺少校验信息，已取消");

int statusOf(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return status.isValid() ? status.toInt() : 0;
}

qint64 versionComponent(const QStringList &parts, qsizetype index)
{
    if (index >= parts.size())
        return 0;
    bool ok = false;
    const qint64 value = parts.at(index).toLongLong(&ok);
    return ok ? value : 0;
}

QString streamErrorText(const QNetworkReply *reply, int status)
{
    if (status >= 300)
        return QStringLiteral("服务器返回 %1").arg(status);
    if (reply->error() == QNetworkReply::OperationCanceledError)
        return QStringLiteral("请求超时");
    return HttpClient::networkErrorText(reply);
}
} // namespace

UpdateChecker::UpdateChecker(const QString &channel, const QString &currentVersion, QObject *parent)
    : QObject(parent)
    , m_channel(channel)
    , m_currentVersion(currentVersion)
{}

UpdateChecker::~UpdateChecker()
{
    // Closing the owner mid-download leaves nothing half-written behind.
    if (m_active) {
        stopTransfers();
        removePartFiles();
        QFile::remove(m_localPath);
    }
}

QString UpdateChecker::platformChannel()
{
#ifdef Q_OS_WIN
    return QStringLiteral("storageclient-win11");
#else
    return QStringLiteral("storageclient-linux");
#endif
}

QString UpdateChecker::defaultInstallerFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)).filePath(QStringLiteral("updates"));
}

QString UpdateChecker::installerFolder() const
{
    return m_installerFolder.isEmpty() ? defaultInstallerFolder() : m_installerFolder;
}

bool UpdateChecker::preparePrivateFolder(const QString &folder, QString *errorText)
{
    const auto fail = [errorText] {
        if (errorText)
            *errorText = CannotWriteText;
        return false;
    };
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return fail();
    // A link or someone else's folder could redirect what is launched later.
    const QFileInfo info(folder);
    if (info.isSymLink() || !info.isDir())
        return fail();
#ifdef Q_OS_UNIX
    if (info.ownerId() != uint(::geteuid()))
        return fail();
    const QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner | QFileDevice::ReadUser | QFileDevice::WriteUser |
                                               QFileDevice::ExeUser;
    if (!QFile::setPermissions(folder, ownerOnly))
        return fail();
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                                            QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    if (QFileInfo(folder).permissions() & others)
        return fail();
#endif
    return true;
}

QString UpdateChecker::downloadAreaUrl(const QString &channel)
{
    QString base = HttpClient::instance()->baseUrl();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base + QStringLiteral("/downloads/") + channel + QLatin1Char('/');
}

QString UpdateChecker::manifestUrl(const QString &channel)
{
    return downloadAreaUrl(channel) + QLatin1String(ManifestName);
}

std::optional<UpdateChecker::Manifest> UpdateChecker::parseManifest(const QString &text)
{
    Manifest manifest;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        // Only top-level keys count; the nested "files" list is indented.
        if (line.isEmpty() || line.front() == QLatin1Char(' ') || line.front() == QLatin1Char('\t'))
            continue;
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        if (colon < 0)
            continue;
        const QString key = line.left(colon).trimmed();
        const QString value = line.mid(colon + 1).trimmed();
        if (key == QLatin1String("version"))
            manifest.version = value;
        else if (key == QLatin1String("path"))
            manifest.path = value;
        else if (key == QLatin1String("sha512") && manifest.sha512.isEmpty())
            manifest.sha512 = value;
    }
    if (manifest.version.isEmpty() || manifest.path.isEmpty())
        return std::nullopt;
    return manifest;
}

bool UpdateChecker::isNewer(const QString &latest, const QString &current)
{
    const QStringList a = latest.split(QLatin1Char('.'));
    const QStringList b = current.split(QLatin1Char('.'));
    const qsizetype count = qMax(a.size(), b.size());
    for (qsizetype i = 0; i < count; ++i) {
        const qint64 x = versionComponent(a, i);
        const qint64 y = versionComponent(b, i);
        if (x != y)
            return x > y;
    }
    return false;
}

QList<UpdateChecker::Range> UpdateChecker::segmentRanges(qint64 total)
{
    QList<Range> ranges;
    const qint64 share = total / SegmentCount;
    for (int i = 0; i < SegmentCount; ++i) {
        const qint64 start = share * i;
        const qint64 endExclusive = i == SegmentCount - 1 ? total : start + share;
        ranges.append({start, endExclusive - 1});
    }
    return ranges;
}

QString UpdateChecker::speedText(double bytesPerSecond, qint64 remainingBytes)
{
    const qint64 seconds = qMax<qint64>(1, qint64(double(remainingBytes) / qMax(bytesPerSecond, 1.0)));
    return QStringLiteral("%1 MB/s · 剩余约 %2 秒").arg(bytesPerSecond / BytesPerMiB, 0, 'f', 1).arg(seconds);
}

bool UpdateChecker::isDownloading() const
{
    return m_active;
}

void UpdateChecker::check()
{
    const QPointer<UpdateChecker> self(this);
    HttpClient::instance()->get(manifestUrl(m_channel), [self](const HttpResponse &response) {
        if (!self)
            return;
        if (!response.ok) {
            emit self->failed(CheckFailedText.arg(response.error.isEmpty() ? NoServerText : response.error));
            return;
        }
        const std::optional<Manifest> manifest = parseManifest(QString::fromUtf8(response.raw));
        if (!manifest) {
            emit self->failed(ParseFailedText);
            return;
        }
        self->m_latestVersion = manifest->version;
        self->m_installerUrl = manifest->path.startsWith(QLatin1String("http"))
                                   ? manifest->path
                                   : downloadAreaUrl(self->m_channel) + manifest->path;
        self->m_expectedDigest = manifest->sha512;
        self->m_hasUpdate = isNewer(manifest->version, self->m_currentVersion);
        emit self->checked(self->m_hasUpdate, self->m_latestVersion);
    });
}

QNetworkAccessManager *UpdateChecker::network()
{
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    // The installer comes the way every other request goes: through the proxy the user chose.
    const QNetworkProxy proxy = HttpClient::instance()->proxy();
    if (m_network->proxy() != proxy)
        m_network->setProxy(proxy);
    return m_network;
}

QNetworkReply *UpdateChecker::getInstaller(const QByteArray &range)
{
    QNetworkRequest request{QUrl(m_installerUrl, QUrl::TolerantMode)};
    request.setRawHeader(QByteArrayLiteral("X-TVR-Client"), QByteArrayLiteral("1"));
    // Byte ranges must address the file itself, never a compressed form of it.
    request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
    if (!range.isEmpty())
        request.setRawHeader(QByteArrayLiteral("Range"), range);
    request.setTransferTimeout(m_transferTimeoutMs);
    QNetworkReply *reply = network()->get(request);
    // The toolkit's SOCKS5 socket stops delivering once a bounded read buffer has filled (see
    // Downloader::ProxyPartBytes): through such a proxy a segment is read without a bound.
    const bool socks = HttpClient::instance()->proxyFor(request.url()).type() == QNetworkProxy::Socks5Proxy;
    reply->setReadBufferSize(socks ? 0 : ReplyBufferBytes);
    return reply;
}

void UpdateChecker::downloadInstaller()
{
    if (m_active) {
        stopTransfers();
        removePartFiles();
    }
    if (m_installerUrl.isEmpty()) {
        emit failed(NoUrlText);
        return;
    }
    // What cannot be verified is never launched, so it is not fetched either.
    if (m_expectedDigest.isEmpty()) {
        emit failed(DigestMissingText);
        return;
    }
    const QString folder = installerFolder();
    QString errorText;
    if (!preparePrivateFolder(folder, &errorText)) {
        emit failed(errorText);
        return;
    }
    m_localPath = QDir(folder).filePath(safeFileName(QUrl(m_installerUrl).fileName(), FallbackInstallerName));
    m_canceled = false;
    m_active = true;
    m_usedSegments = false;
    m_total = 0;
    m_downloaded = 0;
    m_lastPercent = -1;
    m_probeDecided = false;

    m_probeReply = getInstaller(QByteArrayLiteral("bytes=0-0"));
    connect(m_probeReply, &QNetworkReply::metaDataChanged, this, &UpdateChecker::onProbeHeaders);
    connect(m_probeReply, &QNetworkReply::finished, this, &UpdateChecker::onProbeFinished);
}

void UpdateChecker::onProbeHeaders()
{
    QNetworkReply *reply = m_probeReply;
    const int probeStatus = reply ? statusOf(reply) : 0;
    if (m_probeDecided || probeStatus == 0 || (probeStatus >= 300 && probeStatus < 400))
        return;
    m_probeDecided = true;
    const int status = statusOf(reply);
    const qint64 total = ContentRange::parse(reply->rawHeader(QByteArrayLiteral("Content-Range"))).total;
    // A server that ignores the range would send the whole installer here; a one-byte answer is
    // left to finish so its connection can be reused.
    const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    reply->disconnect(this);
    if (status == 206 && length <= 1)
        connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    else
        reply->deleteLater(); // deleting a running reply stops its transfer
    m_probeReply = nullptr;
    if (status == 206 && total > SegmentThreshold)
        startSegmented(total);
    else
        startSingleStream();
}

void UpdateChecker::onProbeFinished()
{
    QNetworkReply *reply = m_probeReply;
    if (!reply)
        return;
    reply->disconnect(this);
    reply->deleteLater();
    m_probeReply = nullptr;
    if (m_probeDecided || m_canceled)
        return;
    m_probeDecided = true;
    // No answer at all is not an error here: the single stream reports its own failure.
    const int status = statusOf(reply);
    const qint64 total = ContentRange::parse(reply->rawHeader(QByteArrayLiteral("Content-Range"))).total;
    if (status == 206 && total > SegmentThreshold)
        startSegmented(total);
    else
        startSingleStream();
}

void UpdateChecker::startSingleStream()
{
    m_usedSegments = false;
    m_total = 0;
    m_downloaded = 0;
    m_streamWriteFailed = false;
    m_streamFile = std::make_unique<QFile>(m_localPath);
    if (!m_streamFile->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_streamFile.reset();
        failDownload(CannotWriteText);
        return;
    }
    m_streamHash = std::make_unique<Sha512Hash>();
    m_clock.start();
    m_lastTick = 0;
    m_lastBytes = 0;
    m_speed = 0;

    m_streamReply = getInstaller({});
    connect(m_streamReply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        if (total <= 0 || !m_streamReply || statusOf(m_streamReply) >= 300)
            return;
        m_total = total;
        m_downloaded = received;
        reportProgress();
        updateSpeed();
    });
    connect(m_streamReply, &QNetworkReply::readyRead, this, &UpdateChecker::onStreamData);
    connect(m_streamReply, &QNetworkReply::finished, this, &UpdateChecker::onStreamFinished);
}

void UpdateChecker::onStreamData()
{
    QNetworkReply *reply = m_streamReply;
    if (!reply || !m_streamFile)
        return;
    // An error page is not the installer.
    if (statusOf(reply) >= 300 || m_streamWriteFailed) {
        reply->skip(reply->bytesAvailable());
        return;
    }
    QByteArray buffer(CopyBytes, Qt::Uninitialized);
    qint64 got = 0;
    while ((got = reply->read(buffer.data(), buffer.size())) > 0) {
        if (m_streamFile->write(buffer.constData(), got) != got) {
            m_streamWriteFailed = true;
            reply->abort();
            return;
        }
        m_streamHash->addData(QByteArrayView(buffer.constData(), got));
    }
}

void UpdateChecker::onStreamFinished()
{
    QNetworkReply *reply = m_streamReply;
    if (!reply)
        return;
    if (reply->isOpen())
        onStreamData();
    const int status = statusOf(reply);
    const bool error = reply->error() != QNetworkReply::NoError || status >= 300;
    const QString errorText = streamErrorText(reply, status);
    reply->disconnect(this);
    reply->deleteLater();
    m_streamReply = nullptr;
    const bool flushed = m_streamFile->flush();
    m_streamFile->close();
    m_streamFile.reset();
    const QByteArray digest = m_streamHash->result().toBase64();
    m_streamHash.reset();
    if (m_streamWriteFailed || !flushed) {
        failDownload(CannotWriteText);
        return;
    }
    if (error) {
        failDownload(StreamFailedText.arg(errorText));
        return;
    }
    finishVerified(digest);
}

void UpdateChecker::startSegmented(qint64 total)
{
    m_usedSegments = true;
    m_total = total;
    m_downloaded = 0;
    m_finishedSegments = 0;
    m_segmentFailed = false;
    m_clock.start();
    m_lastTick = 0;
    m_lastBytes = 0;
    m_speed = 0;
    removePartFiles();

    const QList<Range> ranges = segmentRanges(total);
    for (int i = 0; i < ranges.size(); ++i) {
        auto segment = std::make_unique<Segment>();
        segment->start = ranges.at(i).start;
        segment->end = ranges.at(i).end;
        segment->length = ranges.at(i).length();
        segment->path = m_localPath + QStringLiteral(".part%1").arg(i);
        segment->file = std::make_unique<QFile>(segment->path);
        // Unbuffered: what a segment reports as written is in the file for the assembler to read.
        if (!segment->file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            segment->file.reset();
            segment->ok = false;
            m_segmentFailed = true;
        }
        m_segments.push_back(std::move(segment));
    }
    // Nothing is sent unless every part file could be created.
    if (m_segmentFailed) {
        failDownload(SegmentsBrokenText);
        return;
    }
    startAssembler();
    for (int i = 0; i < int(m_segments.size()); ++i)
        startSegment(i);
}

bool UpdateChecker::segmentIsCurrent(int index, quint64 generation) const
{
    return generation == m_generation && index >= 0 && index < int(m_segments.size());
}

bool UpdateChecker::startSegment(int index)
{
    Segment &segment = *m_segments[size_t(index)];
    segment.rejected = false;
    segment.validated = false;
    const QByteArray range = QByteArrayLiteral("bytes=") + QByteArray::number(segment.start + segment.received) + '-' +
                             QByteArray::number(segment.end);
    QNetworkReply *reply = getInstaller(range);
    segment.reply = reply;
    const quint64 generation = m_generation;
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, index, generation] {
        if (segmentIsCurrent(index, generation))
            onSegmentHeaders(index);
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, index, generation] {
        if (segmentIsCurrent(index, generation))
            onSegmentData(index);
    });
    connect(reply, &QNetworkReply::finished, this, [this, index, generation] {
        if (segmentIsCurrent(index, generation))
            onSegmentFinished(index);
    });
    return true;
}

void UpdateChecker::onSegmentHeaders(int index)
{
    Segment &segment = *m_segments[size_t(index)];
    QNetworkReply *reply = segment.reply;
    const int status = reply ? statusOf(reply) : 0;
    // Redirects are followed by the access manager; only the final answer is judged.
    if (status == 0 || (status >= 300 && status < 400) || segment.validated)
        return;
    if (!validateSegmentAnswer(segment))
        reply->abort(); // ends in onSegmentFinished, which restarts the share
}

bool UpdateChecker::validateSegmentAnswer(Segment &segment)
{
    segment.validated = true;
    // Only the exact range asked for may land in the part file; anything else is a failed attempt.
    const QNetworkReply *reply = segment.reply;
    const ContentRange range = ContentRange::parse(reply->rawHeader(QByteArrayLiteral("Content-Range")));
    segment.rejected = statusOf(reply) != 206 || !range.valid || range.first != segment.start + segment.received;
    return !segment.rejected;
}

void UpdateChecker::onSegmentData(int index)
{
    Segment &segment = *m_segments[size_t(index)];
    QNetworkReply *reply = segment.reply;
    if (!reply)
        return;
    if (!segment.validated && !validateSegmentAnswer(segment)) {
        reply->abort();
        return;
    }
    if (segment.rejected || !segment.file) {
        reply->skip(reply->bytesAvailable());
        return;
    }
    QByteArray buffer(CopyBytes, Qt::Uninitialized);
    bool overflow = false;
    qint64 got = 0;
    while ((got = reply->read(buffer.data(), buffer.size())) > 0) {
        // A server that sends more than the range asked for never writes into the next share.
        const qint64 keep = qMin(got, segment.length - segment.received);
        if (keep < got)
            overflow = true;
        if (keep > 0) {
            if (segment.file->write(buffer.constData(), keep) != keep) {
                failDownload(CannotWriteText);
                return;
            }
            segment.received += keep;
            m_downloaded += keep;
        }
        if (overflow)
            break;
    }
    if (m_assembler)
        m_assembler->setWritten(index, segment.received);
    reportProgress();
    updateSpeed();
    if (overflow)
        reply->abort(); // ends in onSegmentFinished, which sees a full share
}

void UpdateChecker::onSegmentFinished(int index)
{
    Segment &segment = *m_segments[size_t(index)];
    QNetworkReply *reply = segment.reply;
    if (!reply)
        return;
    const quint64 generation = m_generation;
    if (reply->isOpen() && reply->error() == QNetworkReply::NoError)
        onSegmentData(index);
    if (generation != m_generation)
        return; // the download ended while the last bytes were written
    reply->disconnect(this);
    reply->deleteLater();
    segment.reply = nullptr;
    bool fileOk = true;
    if (segment.file) {
        fileOk = segment.file->flush();
        segment.file->close();
    }
    if (!fileOk) {
        failDownload(CannotWriteText);
        return;
    }
    if (segment.received < segment.length) {
        // A restart resumes after the bytes already written instead of starting the share again.
        if (segment.retries < MaxSegmentRestarts && segment.file &&
            segment.file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            ++segment.retries;
            startSegment(index);
            return;
        }
        // One broken share ruins the installer: stop the others at once instead of finishing them.
        segment.ok = false;
        m_segmentFailed = true;
        failDownload(SegmentsBrokenText);
        return;
    }
    ++m_finishedSegments;
    // Every part file is closed now; the assembler may move the joined installer into place.
    if (m_finishedSegments == int(m_segments.size()) && m_assembler)
        m_assembler->writersClosed();
}

void UpdateChecker::startAssembler()
{
    QList<InstallerPart> parts;
    for (const auto &segment : m_segments)
        parts.append({segment->path, segment->length});
    m_assembler = std::make_unique<InstallerAssembler>(parts);
    const quint64 generation = m_generation;
    // Joining and digesting hundreds of MiB would stall the window and, done after the last byte,
    // keep the user waiting; a worker does both while the segments arrive. Its result comes back
    // queued and is dropped when the download has ended meanwhile.
    m_assembler->start(m_localPath, [this, generation](const InstallerAssembly &result) {
        QMetaObject::invokeMethod(
            this,
            [this, result, generation] {
                if (generation == m_generation)
                    onAssembled(result);
            },
            Qt::QueuedConnection);
    });
}

void UpdateChecker::onAssembled(const InstallerAssembly &result)
{
    if (result.outcome == InstallerAssembly::Outcome::CannotWrite) {
        failDownload(CannotWriteText);
        return;
    }
    if (result.outcome != InstallerAssembly::Outcome::Joined) {
        failDownload(IncompleteText);
        return;
    }
    // The worker has ended and every transfer with it; the parts are the installer now.
    m_assembler.reset();
    m_segments.clear();
    finishVerified(result.digestBase64);
}

void UpdateChecker::finishVerified(const QByteArray &digestBase64)
{
    m_active = false;
    if (m_expectedDigest.isEmpty()) {
        QFile::remove(m_localPath);
        emit failed(DigestMissingText);
        return;
    }
    if (QString::fromLatin1(digestBase64) != m_expectedDigest) {
        QFile::remove(m_localPath);
        emit failed(DigestMismatchText);
        return;
    }
    emit progress(100);
    emit downloaded(m_localPath);
}

void UpdateChecker::failDownload(const QString &message)
{
    stopTransfers();
    removePartFiles();
    QFile::remove(m_localPath);
    emit failed(message);
}

void UpdateChecker::cancelDownload()
{
    if (!m_active)
        return;
    m_canceled = true;
    stopTransfers();
    removePartFiles();
    QFile::remove(m_localPath);
}

void UpdateChecker::stopTransfers()
{
    ++m_generation;
    m_active = false;
    const auto drop = [this](QNetworkReply *reply) {
        if (!reply)
            return;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    };
    drop(m_probeReply);
    m_probeReply = nullptr;
    drop(m_streamReply);
    m_streamReply = nullptr;
    if (m_streamFile) {
        m_streamFile->close();
        m_streamFile.reset();
    }
    m_streamHash.reset();
    for (const auto &segment : m_segments) {
        drop(segment->reply);
        segment->reply = nullptr;
        if (segment->file)
            segment->file->close();
    }
    // Waits for the worker, which stops within a slice; the part files are the caller's to remove.
    m_assembler.reset();
}

void UpdateChecker::removePartFiles()
{
    for (const auto &segment : m_segments)
        QFile::remove(segment->path);
    m_segments.clear();
}

void UpdateChecker::reportProgress()
{
    if (m_total <= 0)
        return;
    const int percent = int(m_downloaded * 100 / m_total);
    if (percent == m_lastPercent)
        return;
    m_lastPercent = percent;
    emit progress(percent);
}

void UpdateChecker::updateSpeed()
{
    const qint64 now = m_clock.elapsed();
    const qint64 elapsed = now - m_lastTick;
    if (elapsed < SpeedIntervalMs)
        return;
    const double instant = double(m_downloaded - m_lastBytes) / (double(elapsed) / 1000.0);
    m_speed = m_speed > 0 ? 0.4 * instant + 0.6 * m_speed : instant;
    m_lastTick = now;
    m_lastBytes = m_downloaded;
    if (m_total > 0 && m_speed > 0)
        emit speedInfo(speedText(m_speed, m_total - m_downloaded));
}
