#include "update/updatechecker.h"

#include "net/httpclient.h"
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
    // Closing the owner mid-download leaves no unverified installer behind; a segmented
    // download's side file and its note stay, so the next start continues every segment.
    if (m_active) {
        stopTransfers();
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

RangedFetch::Options UpdateChecker::fetchOptions()
{
    RangedFetch::Options options;
    // The installer needs no sign-in and may come from a mirror: only the client header goes along.
    options.network = network();
    options.sessionHeaders = false;
    options.limited = false;
    options.maxRestarts = MaxSegmentRestarts;
    options.transferTimeoutMs = m_transferTimeoutMs;
    return options;
}

void UpdateChecker::downloadInstaller()
{
    if (m_active)
        stopTransfers(); // the side file stays: this download continues it
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
    m_active = true;
    m_usedSegments = false;
    m_total = 0;
    m_downloaded = 0;
    m_lastPercent = -1;

    auto *fetch = new RangedFetch(this);
    m_fetch = fetch;
    fetch->setOptions(fetchOptions());
    fetch->setStallTimeoutMs(m_transferTimeoutMs);
    connect(fetch, &RangedFetch::probed, this, &UpdateChecker::onProbed);
    fetch->probe(m_installerUrl);
}

void UpdateChecker::onProbed(const RangedFetch::ProbeResult &probe)
{
    // No answer at all is not an error here: the single stream reports its own failure.
    if (probe.ranged() && probe.total > SegmentThreshold) {
        startSegmented(probe);
        return;
    }
    if (m_fetch) {
        m_fetch->disconnect(this);
        m_fetch->deleteLater();
        m_fetch = nullptr;
    }
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

    const QNetworkRequest request = RangedFetch::makeRequest(m_installerUrl, fetchOptions());
    m_streamReply = network()->get(request);
    // The toolkit's SOCKS5 socket stops delivering once a bounded read buffer has filled.
    const bool socks = HttpClient::instance()->proxyFor(request.url()).type() == QNetworkProxy::Socks5Proxy;
    m_streamReply->setReadBufferSize(socks ? 0 : ReplyBufferBytes);
    connect(m_streamReply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        if (total <= 0 || !m_streamReply || RangedFetch::statusOf(m_streamReply) >= 300)
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
    if (RangedFetch::statusOf(reply) >= 300 || m_streamWriteFailed) {
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
    const int status = RangedFetch::statusOf(reply);
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

void UpdateChecker::startSegmented(const RangedFetch::ProbeResult &probe)
{
    m_usedSegments = true;
    const QString side = sidePath();
    const QString notePath = RangedFetch::recordPathFor(side);
    // Where the file comes from, without a query that could carry a credential.
    const QString source = QUrl(m_installerUrl, QUrl::TolerantMode).adjusted(QUrl::RemoveQuery).toString();
    std::optional<RangedFetch::Record> record = RangedFetch::readRecord(notePath);
    // A side file is continued only for the same installer (address, size, ETag) and only when it
    // holds at least what its note counts as written.
    qint64 needed = 0;
    if (record) {
        for (const RangedFetch::Span &span : record->spans)
            needed = span.done > 0 ? qMax(needed, span.next()) : needed;
    }
    const bool resume = record && record->source == source && record->size == probe.total &&
                        record->etag == probe.etag && QFileInfo(side).size() >= needed;
    if (!resume) {
        QFile::remove(side);
        record = RangedFetch::Record{source, probe.etag, probe.total, RangedFetch::split(probe.total, SegmentCount)};
    }
    m_total = record->size;
    m_downloaded = record->done();
    m_clock.start();
    m_lastTick = 0;
    m_lastBytes = m_downloaded;
    m_speed = 0;

    startAssembler(*record);
    RangedFetch *fetch = m_fetch;
    connect(fetch, &RangedFetch::progressed, this, [this](qint64 done, qint64) { onSegmentsProgress(done); });
    connect(fetch, &RangedFetch::failed, this, &UpdateChecker::onSegmentsFailed);
    // The side file is closed now; the assembler may move it into place.
    connect(fetch, &RangedFetch::finished, this, [this] {
        if (m_assembler)
            m_assembler->writersClosed();
    });
    fetch->start(m_installerUrl, side, notePath, *record);
}

void UpdateChecker::onSegmentsProgress(qint64 done)
{
    if (!m_fetch)
        return;
    m_downloaded = done;
    const QList<RangedFetch::Span> &spans = m_fetch->record().spans;
    if (m_assembler) {
        for (int i = 0; i < int(spans.size()); ++i)
            m_assembler->setWritten(i, spans.at(i).done);
    }
    reportProgress();
    updateSpeed();
}

void UpdateChecker::onSegmentsFailed()
{
    const bool disk = m_fetch && m_fetch->failure() == RangedFetch::Failure::Disk;
    // One broken segment ruins the installer; the fetch has stopped the others already.
    failDownload(disk ? CannotWriteText : SegmentsBrokenText);
}

void UpdateChecker::startAssembler(const RangedFetch::Record &record)
{
    QList<InstallerPart> parts;
    for (const RangedFetch::Span &span : record.spans)
        parts.append({span.start, span.length()});
    m_assembler = std::make_unique<InstallerAssembler>(sidePath(), parts);
    for (int i = 0; i < int(record.spans.size()); ++i)
        m_assembler->setWritten(i, record.spans.at(i).done);
    const quint64 generation = m_generation;
    // Digesting hundreds of MiB would stall the window and, done after the last byte, keep the
    // user waiting; a worker does it while the segments arrive. Its result comes back queued and
    // is dropped when the download has ended meanwhile.
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
    // The worker has ended and the fetch with it; the side file is the installer now.
    m_assembler.reset();
    if (m_fetch) {
        m_fetch->disconnect(this);
        m_fetch->deleteLater();
        m_fetch = nullptr;
    }
    QFile::remove(RangedFetch::recordPathFor(sidePath()));
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
    removeFiles();
    emit failed(message);
}

void UpdateChecker::cancelDownload()
{
    if (!m_active)
        return;
    stopTransfers();
    removeFiles();
}

void UpdateChecker::stopTransfers()
{
    ++m_generation;
    m_active = false;
    if (QNetworkReply *reply = m_streamReply) {
        m_streamReply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    if (m_streamFile) {
        m_streamFile->close();
        m_streamFile.reset();
    }
    m_streamHash.reset();
    if (RangedFetch *fetch = m_fetch) {
        m_fetch = nullptr;
        fetch->disconnect(this);
        fetch->stop(); // the note keeps each segment's progress
        fetch->deleteLater();
    }
    // Waits for the worker, which stops within a slice; the side file is the caller's to remove.
    m_assembler.reset();
}

void UpdateChecker::removeFiles()
{
    QFile::remove(sidePath());
    QFile::remove(RangedFetch::recordPathFor(sidePath()));
    QFile::remove(m_localPath);
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
