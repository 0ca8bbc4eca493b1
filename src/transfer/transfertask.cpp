#include "transfer/transfertask.h"

#include "net/httpclient.h"
#include "transfer/downloader.h"
#include "transfer/downloadregistry.h"
#include "transfer/packdownload.h"
#include "transfer/transferapi.h"
#include "transfer/uploader.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QNetworkReply>
#include <algorithm>
#include <limits>

namespace {
// Speed is measured over this window; a job that moved nothing for StallMs shows no speed.
constexpr qint64 SpeedWindowMs = 3000;
constexpr qint64 SampleSpacingMs = 200;
constexpr qint64 StallMs = 2000;

struct KindName
{
    TransferTask::Kind kind;
    const char *name;
};
constexpr KindName KindNames[] = {
    {TransferTask::Kind::Upload, "upload"},     {TransferTask::Kind::FormUpload, "form"},
    {TransferTask::Kind::Download, "download"}, {TransferTask::Kind::Open, "open"},
    {TransferTask::Kind::PackDownload, "pack"},
};

QJsonArray toArray(const QStringList &list)
{
    QJsonArray array;
    for (const QString &item : list)
        array.append(item);
    return array;
}

QStringList toList(const QJsonValue &value)
{
    QStringList list;
    for (const QJsonValue &item : value.toArray())
        list.append(item.toString());
    return list;
}

qint64 number(const QJsonObject &object, const QString &key, qint64 fallback)
{
    const QJsonValue value = object.value(key);
    return value.isDouble() ? qint64(value.toDouble()) : fallback;
}

// What a failed pack-download says: the server's message, then its error, then the transport's text.
QString packErrorText(const HttpResponse &response)
{
    QString text;
    if (response.json.isObject()) {
        const QJsonObject object = response.json.toObject();
        text = jsonText(object, QStringLiteral("message"));
        if (text.isEmpty())
            text = jsonText(object, QStringLiteral("error"));
    }
    return text.isEmpty() ? response.error : text;
}
} // namespace

quint64 TransferTask::s_nextId = 1;

TransferTask::TransferTask(Kind kind, Space space, QObject *parent)
    : QObject(parent)
    , m_id(s_nextId++)
    , m_kind(kind)
    , m_space(space)
{
    m_clock.start();
}

TransferTask::~TransferTask()
{
    // A job taken off the list stops without a signal; what it left is the canceller's business.
    m_ownAbort = true;
    if (m_uploader)
        m_uploader->abort();
    HttpClient::stop(m_reply);
}

QString TransferTask::downloadTarget() const
{
    return Downloader::targetPath(dir, fileName);
}

QString TransferTask::localPath() const
{
    switch (m_kind) {
    case Kind::Upload:
    case Kind::FormUpload:
        return paths.value(0);
    case Kind::PackDownload:
        return savePath;
    case Kind::Download:
    case Kind::Open:
        break;
    }
    return m_finalPath.isEmpty() ? downloadTarget() : m_finalPath;
}

QString TransferTask::localFolder() const
{
    return QFileInfo(localPath()).absolutePath();
}

QString TransferTask::stateText() const
{
    switch (m_state) {
    case State::Queued:
        return QStringLiteral("排队中");
    case State::Running:
        return isUpload() ? QStringLiteral("上传中") : QStringLiteral("下载中");
    case State::Verifying:
        return QStringLiteral("校验中");
    case State::Paused:
        if (m_autoPaused)
            return QStringLiteral("等待网络");
        return m_fromLastRun ? QStringLiteral("上次未完成") : QStringLiteral("已暂停");
    case State::Finished:
        return QStringLiteral("已完成");
    case State::Failed:
        break;
    }
    return QStringLiteral("失败：%1").arg(m_error);
}

bool TransferTask::isBusy() const
{
    return m_uploader || m_downloader || m_reply;
}

bool TransferTask::canPause() const
{
    return m_state == State::Queued || m_state == State::Running || m_state == State::Verifying;
}

qint64 TransferTask::speed() const
{
    if (!isActive() || m_samples.size() < 2)
        return 0;
    const Sample &first = m_samples.constFirst();
    const Sample &last = m_samples.constLast();
    if (m_clock.elapsed() - last.ms > StallMs || last.ms <= first.ms)
        return 0;
    return std::max<qint64>(0, (last.bytes - first.bytes) * 1000 / (last.ms - first.ms));
}

int TransferTask::etaSeconds() const
{
    const qint64 rate = speed();
    if (rate <= 0 || m_total <= m_done)
        return -1;
    return int(std::min<qint64>((m_total - m_done) / rate, std::numeric_limits<int>::max()));
}

int TransferTask::percent() const
{
    if (m_state == State::Finished)
        return 100;
    if (m_total <= 0)
        return -1;
    return int(std::clamp<qint64>(m_done * 100 / m_total, 0, 100));
}

void TransferTask::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit changed();
    emit stateChanged();
}

void TransferTask::setDone(qint64 done)
{
    m_done = done;
    const qint64 now = m_clock.elapsed();
    if (m_samples.isEmpty() || now - m_samples.constLast().ms >= SampleSpacingMs)
        m_samples.append({now, done});
    else
        m_samples.last().bytes = done;
    while (m_samples.size() > 2 && now - m_samples.at(1).ms >= SpeedWindowMs)
        m_samples.removeFirst();
    emit changed();
}

void TransferTask::run()
{
    if (m_state != State::Queued || isBusy())
        return;
    m_error.clear();
    m_autoPaused = false;
    m_fromLastRun = false;
    m_ownAbort = false;
    m_doneAtRun = m_done;
    m_samples.clear();
    setState(State::Running);
    switch (m_kind) {
    case Kind::Upload:
        runUpload();
        break;
    case Kind::FormUpload:
        runFormUpload();
        break;
    case Kind::Download:
    case Kind::Open:
        runDownload();
        break;
    case Kind::PackDownload:
        runPackDownload();
        break;
    }
}

void TransferTask::runUpload()
{
    auto *uploader = new Uploader(this);
    m_uploader = uploader;
    if (!m_md5.isEmpty())
        uploader->setKnownDigest(m_md5, m_sourceSize, m_sourceModifiedMs);
    connect(uploader, &Uploader::sigProgress, this, [this](int percent, const QString &phase) {
        if (m_state == State::Running || m_state == State::Verifying)
            setState(m_uploader && m_uploader->isVerifying() ? State::Verifying : State::Running);
        emit sigUploadProgress(percent, phase);
    });
    connect(uploader, &Uploader::sigBytes, this, [this](qlonglong done, qlonglong total) {
        m_total = total;
        setDone(done);
    });
    connect(uploader, &Uploader::sigSession, this, [this](const QString &uploadId, const QString &md5) {
        // A source that changed got a session of its own; the old one is of no use any more.
        if (!m_uploadId.isEmpty() && m_uploadId != uploadId)
            Api::abandonUpload(m_uploadId, nullptr);
        m_uploadId = uploadId;
        m_md5 = md5;
        if (m_uploader) {
            m_sourceSize = m_uploader->fileSize();
            m_sourceModifiedMs = m_uploader->modifiedMs();
        }
        emit stateChanged(); // worth keeping: a restart continues this session
    });
    connect(uploader, &Uploader::sigDone, this, [this](const QJsonObject &record) {
        m_record = record;
        m_uploadId.clear();
        setDone(m_total);
        succeed();
    });
    connect(uploader, &Uploader::sigFailed, this,
            [this](const QString &err) { failWith(err, m_uploader && m_uploader->failedOnNetwork()); });
    connect(uploader, &Uploader::sigPaused, this, &TransferTask::onWorkerPaused);
    m_total = QFileInfo(paths.value(0)).size();
    uploader->start(paths.value(0), parentId);
}

void TransferTask::runFormUpload()
{
    QPointer<TransferTask> self(this);
    const HttpCallback answer = [self](const HttpResponse &response) {
        if (self)
            self->onFormAnswer(response);
    };
    QNetworkReply *reply = nullptr;
    if (m_space == Space::Vault)
        reply = Api::uploadVaultFile(paths.value(0), answer);
    else if (m_space == Space::Team)
        reply = Api::uploadTeamFiles(teamId, paths, parentId, answer);
    else
        reply = Api::uploadFiles(paths, parentId, answer);
    if (!reply || m_state != State::Running)
        return;
    m_reply = reply;
    connect(reply, &QNetworkReply::uploadProgress, this, [this](qint64 sent, qint64 length) {
        // The body is a little longer than the files; progress counts the files' share.
        if (length > 0 && m_total > 0)
            setDone(sent * m_total / length);
    });
}

void TransferTask::onFormAnswer(const HttpResponse &response)
{
    m_reply = nullptr;
    if (m_ownAbort)
        return;
    QJsonObject data;
    QString err;
    if (response.unwrap(data, err)) {
        emit sigResponse(response);
        setDone(m_total);
        succeed();
        return;
    }
    failWith(err, response.networkError);
    // Paused for the connection, the job sends the files again later: no answer to report yet.
    if (m_state == State::Failed)
        emit sigResponse(response);
}

void TransferTask::runDownload()
{
    auto *downloader = new Downloader(this);
    m_downloader = downloader;
    // Vault files arrive decrypted: a fragment is never kept for later.
    if (m_space == Space::Vault)
        downloader->setDiscardPartOnFailure(true);
    connect(downloader, &Downloader::sigProgress, this,
            [this](qlonglong done, qlonglong total, qlonglong speed, int etaSec) {
                if (total > 0)
                    m_total = total;
                setDone(done);
                emit sigDownloadProgress(done, total, speed, etaSec);
            });
    connect(downloader, &Downloader::sigDone, this, [this](const QString &absPath) {
        m_finalPath = absPath;
        if (m_total <= 0)
            m_total = QFileInfo(absPath).size();
        setDone(m_total);
        succeed();
    });
    connect(downloader, &Downloader::sigFailed, this,
            [this](const QString &err) { failWith(err, m_downloader && m_downloader->failedOnNetwork()); });
    connect(downloader, &Downloader::sigPaused, this, &TransferTask::onWorkerPaused);
    downloader->start(serverPath, dir, fileName, m_space != Space::Vault);
}

void TransferTask::runPackDownload()
{
    QPointer<TransferTask> self(this);
    QNetworkReply *reply = Api::packDownload(
        ids, savePath,
        [self](qint64 done, qint64 total) {
            if (!self)
                return;
            if (total > 0)
                self->m_total = total;
            self->setDone(done);
        },
        [self](const HttpResponse &response) {
            if (self)
                self->onPackAnswer(response);
        });
    if (reply && m_state == State::Running)
        m_reply = reply;
}

void TransferTask::onPackAnswer(const HttpResponse &response)
{
    m_reply = nullptr;
    if (m_ownAbort)
        return;
    if (response.ok) {
        emit sigResponse(response);
        m_finalPath = savePath;
        m_total = std::max(m_total, m_done);
        succeed();
        return;
    }
    failWith(packErrorText(response), response.networkError);
    if (m_state == State::Failed)
        emit sigResponse(response);
}

void TransferTask::pause(bool automatic)
{
    if (!canPause())
        return;
    m_autoPaused = automatic;
    setState(State::Paused);
    if (m_uploader) {
        m_uploader->pause(); // the chunks in flight still arrive; sigPaused then frees the job
    } else if (m_downloader) {
        m_downloader->pause();
    } else if (m_reply) {
        // A multipart request or an archive cannot be continued: it is asked for again.
        m_ownAbort = true;
        QNetworkReply *reply = m_reply;
        m_reply = nullptr;
        HttpClient::stop(reply);
        emit stateChanged();
    }
}

void TransferTask::onWorkerPaused()
{
    dropWorkers();
    emit changed();
    emit stateChanged();
}

void TransferTask::requeue()
{
    if (m_state != State::Paused && m_state != State::Failed)
        return;
    if (m_state == State::Failed)
        m_networkFailures = 0;
    m_error.clear();
    m_autoPaused = false;
    m_fromLastRun = false;
    setState(State::Queued);
}

void TransferTask::cancel()
{
    m_ownAbort = true;
    if (m_uploader)
        m_uploader->abort();
    if (!m_uploadId.isEmpty()) {
        Api::abandonUpload(m_uploadId, nullptr);
        m_uploadId.clear();
    }
    if (m_downloader) {
        m_downloader->cancel();
    } else if ((m_kind == Kind::Download || m_kind == Kind::Open) && !DownloadRegistry::isBusy(downloadTarget())) {
        // Paused or failed: the side file and its note are all that is left of it.
        const QString part = downloadTarget() + QStringLiteral(".part");
        QFile::remove(part);
        QFile::remove(Downloader::metaPathFor(part));
    }
    if (m_reply)
        HttpClient::stop(m_reply); // a pack-download's side file goes with it
    dropWorkers();
}

void TransferTask::dropWorkers()
{
    if (m_uploader) {
        m_uploader->disconnect(this);
        m_uploader->deleteLater();
        m_uploader = nullptr;
    }
    if (m_downloader) {
        m_downloader->disconnect(this);
        m_downloader->deleteLater();
        m_downloader = nullptr;
    }
    m_reply = nullptr; // deleted by whoever answers it
}

void TransferTask::succeed()
{
    dropWorkers();
    m_networkFailures = 0;
    m_error.clear();
    setState(State::Finished);
    emit sigDone();
}

void TransferTask::failWith(const QString &err, bool network)
{
    dropWorkers();
    m_error = err;
    if (network) {
        if (m_done > m_doneAtRun)
            m_networkFailures = 0; // it got somewhere: a new run of bad luck begins
        ++m_networkFailures;
        if (m_waitsForConnection && m_networkFailures <= MaxNetworkRetries) {
            // Waits for the connection watch instead of failing.
            m_autoPaused = true;
            setState(State::Paused);
            emit networkLost();
            return;
        }
    }
    setState(State::Failed);
    emit sigFailed(err);
}

QJsonObject TransferTask::toJson() const
{
    if (m_space == Space::Vault || m_state == State::Finished)
        return {};
    QJsonObject object;
    for (const KindName &entry : KindNames) {
        if (entry.kind == m_kind)
            object.insert(QStringLiteral("kind"), QString::fromLatin1(entry.name));
    }
    object.insert(QStringLiteral("space"),
                  m_space == Space::Team ? QStringLiteral("team") : QStringLiteral("personal"));
    object.insert(QStringLiteral("name"), m_name);
    object.insert(QStringLiteral("total"), double(m_total));
    object.insert(QStringLiteral("done"), double(m_done));
    if (m_state == State::Failed) {
        object.insert(QStringLiteral("state"), QStringLiteral("failed"));
        object.insert(QStringLiteral("error"), m_error);
    } else {
        object.insert(QStringLiteral("state"), QStringLiteral("paused"));
    }
    const auto put = [&object](const char *key, const QString &value) {
        if (!value.isEmpty())
            object.insert(QLatin1String(key), value);
    };
    if (!paths.isEmpty())
        object.insert(QStringLiteral("paths"), toArray(paths));
    if (!ids.isEmpty())
        object.insert(QStringLiteral("ids"), toArray(ids));
    put("parentId", parentId);
    put("teamId", teamId);
    put("serverPath", serverPath);
    put("dir", dir);
    put("fileName", fileName);
    put("savePath", savePath);
    put("md5", m_md5);
    put("uploadId", m_uploadId);
    if (!m_md5.isEmpty()) {
        object.insert(QStringLiteral("sourceSize"), double(m_sourceSize));
        object.insert(QStringLiteral("sourceModified"), double(m_sourceModifiedMs));
    }
    return object;
}

TransferTask *TransferTask::fromJson(const QJsonObject &object, QObject *parent)
{
    const QString kindName = object.value(QStringLiteral("kind")).toString();
    const auto entry = std::find_if(std::begin(KindNames), std::end(KindNames),
                                    [&kindName](const KindName &k) { return kindName == QLatin1String(k.name); });
    if (entry == std::end(KindNames))
        return nullptr;
    const QString spaceName = object.value(QStringLiteral("space")).toString();
    if (spaceName != QLatin1String("personal") && spaceName != QLatin1String("team"))
        return nullptr;
    // An open is not handed to an application days later: it continues as a plain download.
    const Kind kind = entry->kind == Kind::Open ? Kind::Download : entry->kind;
    auto task = std::make_unique<TransferTask>(kind, spaceName == QLatin1String("team") ? Space::Team : Space::Personal,
                                               parent);
    task->paths = toList(object.value(QStringLiteral("paths")));
    task->ids = toList(object.value(QStringLiteral("ids")));
    const auto text = [&object](const char *key) { return object.value(QLatin1String(key)).toString(); };
    task->parentId = text("parentId");
    task->teamId = text("teamId");
    task->serverPath = text("serverPath");
    task->dir = text("dir");
    task->fileName = text("fileName");
    task->savePath = text("savePath");
    task->m_name = text("name");
    task->m_md5 = text("md5");
    task->m_uploadId = text("uploadId");
    task->m_sourceSize = number(object, QStringLiteral("sourceSize"), -1);
    task->m_sourceModifiedMs = number(object, QStringLiteral("sourceModified"), -1);
    task->m_total = number(object, QStringLiteral("total"), 0);
    task->m_done = number(object, QStringLiteral("done"), 0);

    bool complete = !task->m_name.isEmpty();
    switch (kind) {
    case Kind::Upload:
        complete = complete && task->paths.size() == 1;
        break;
    case Kind::FormUpload:
        complete =
            complete && !task->paths.isEmpty() && (spaceName != QLatin1String("team") || !task->teamId.isEmpty());
        break;
    case Kind::Download:
    case Kind::Open:
        complete = complete && !task->serverPath.isEmpty() && !task->dir.isEmpty() && !task->fileName.isEmpty();
        if (complete) // the side file is what a continued download starts from
            task->m_done = QFileInfo(task->downloadTarget() + QStringLiteral(".part")).size();
        break;
    case Kind::PackDownload:
        complete = complete && !task->ids.isEmpty() && !task->savePath.isEmpty();
        task->m_done = 0; // an archive is asked for again as a whole
        break;
    }
    if (!complete)
        return nullptr;
    if (text("state") == QLatin1String("failed")) {
        task->m_state = State::Failed;
        task->m_error = text("error");
    } else {
        task->m_state = State::Paused;
        task->m_fromLastRun = true;
    }
    return task.release();
}
