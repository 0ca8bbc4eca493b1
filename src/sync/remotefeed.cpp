#include "sync/remotefeed.h"

#include "net/httpclient.h"
#include "net/httpresponse.h"

#include <QJsonArray>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>
#include <QUrl>

namespace {
const auto ZeroCursor = QStringLiteral("0");

QString encoded(const QString &value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}
} // namespace

RemoteFeed::RemoteFeed(const QString &folderId, const QString &teamId, QObject *parent)
    : QObject(parent)
    , m_folderId(folderId)
    , m_teamId(teamId)
    , m_tree(folderId)
    , m_staging(folderId)
    , m_retryTimer(new QTimer(this))
{
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &RemoteFeed::request);
}

RemoteFeed::~RemoteFeed() = default;

void RemoteFeed::setRetryDelays(int firstMs, int maxMs)
{
    m_firstRetryMs = firstMs;
    m_maxRetryMs = maxMs;
}

QString RemoteFeed::changesPath(const QString &cursor, bool wait) const
{
    QString path = QStringLiteral("/api/sync/changes?cursor=") + encoded(cursor) + QStringLiteral("&limit=") +
                   QString::number(m_pageLimit) + QStringLiteral("&wait=") + QString::number(wait ? m_waitSeconds : 0);
    if (!m_folderId.isEmpty())
        path += QStringLiteral("&folder_id=") + encoded(m_folderId);
    if (!m_teamId.isEmpty())
        path += QStringLiteral("&team_id=") + encoded(m_teamId);
    return path;
}

void RemoteFeed::start()
{
    stop();
    m_running = true;
    m_listing = true;
    m_staging.clear();
    m_cursor = ZeroCursor;
    ++m_listings;
    request();
}

void RemoteFeed::resume(const QString &cursor, const RemoteTree &tree)
{
    if (cursor.isEmpty() || cursor == ZeroCursor)
        return start();
    stop();
    m_running = true;
    m_listing = false;
    // Whole again once the changes since the cursor are in: no round plans from the old tree.
    m_complete = false;
    m_tree = tree;
    m_staging.clear();
    m_cursor = cursor;
    request();
}

void RemoteFeed::stop()
{
    m_running = false;
    m_catchingUp = false;
    ++m_serial;
    m_retryTimer->stop();
    dropPoll();
}

void RemoteFeed::dropPoll()
{
    // The serial has moved on, so the abort's own answer is ignored.
    if (QNetworkReply *poll = m_poll.data()) {
        m_poll = nullptr;
        poll->abort();
    }
}

void RemoteFeed::catchUp()
{
    if (!m_running)
        return;
    m_catchingUp = true;
    m_catchUpFrom = m_serial + 1;
    if (m_poll) {
        // A poll held at the server answers only at the next change, which may have come already.
        ++m_serial;
        dropPoll();
        request();
    }
    // Otherwise a page or a retry is under way, and the request after it asks at once.
}

void RemoteFeed::request()
{
    if (!m_running)
        return;
    const quint64 serial = ++m_serial;
    QPointer<RemoteFeed> self(this);
    // While listing, pages come at once; once whole, the server holds the request until a change.
    auto answer = [self, serial](const HttpResponse &response) {
        if (self)
            self->onAnswer(serial, response);
    };
    if (m_listing || !m_complete || m_catchingUp)
        HttpClient::instance()->get(changesPath(m_cursor, false), std::move(answer));
    else
        m_poll =
            HttpClient::instance()->getLongPoll(changesPath(m_cursor, true), m_waitSeconds * 1000, std::move(answer));
}

void RemoteFeed::onAnswer(quint64 serial, const HttpResponse &response)
{
    if (serial != m_serial || !m_running)
        return;
    m_poll = nullptr;
    QJsonObject data;
    QString error;
    if (!response.unwrap(data, error)) {
        fail(error);
        return;
    }
    const QJsonValue changes = data.value(QStringLiteral("changes"));
    const QString cursor = jsonText(data, QStringLiteral("cursor"));
    if (!changes.isArray() || cursor.isEmpty()) {
        fail(QStringLiteral("服务器返回的变更数据无法识别"));
        return;
    }
    if (m_failing) {
        m_failing = false;
        m_retryMs = 0;
        emit recovered();
    }
    m_retryMs = 0;
    if (data.value(QStringLiteral("reset")).toBool()) {
        m_listing = true;
        m_staging.clear();
        m_cursor = ZeroCursor;
        ++m_listings;
        emit resetRequested();
        request();
        return;
    }
    QList<RemoteChange> parsed;
    for (const QJsonValue &value : changes.toArray()) {
        RemoteChange change;
        if (RemoteChange::fromJson(value.toObject(), change))
            parsed << change;
    }
    m_cursor = cursor;
    const bool more = data.value(QStringLiteral("has_more")).toBool();
    if (m_listing) {
        m_staging.apply(parsed);
        if (!more) {
            m_listing = false;
            m_tree = m_staging;
            m_staging.clear();
            m_complete = true;
            emit listed();
            emit treeChanged();
        }
    } else {
        const QStringList removed = m_tree.apply(parsed);
        emit advanced(parsed, removed, m_cursor);
        const bool caughtUp = !m_complete && !more;
        if (caughtUp)
            m_complete = true;
        if (m_complete && (caughtUp || !parsed.isEmpty()))
            emit treeChanged();
    }
    if (m_catchingUp && m_complete && !more && serial >= m_catchUpFrom) {
        m_catchingUp = false;
        emit caughtUp();
    }
    request();
}

void RemoteFeed::fail(const QString &error)
{
    m_failing = true;
    m_retryMs = m_retryMs == 0 ? m_firstRetryMs : qMin(m_retryMs * 2, m_maxRetryMs);
    emit failed(error);
    if (m_running)
        m_retryTimer->start(m_retryMs);
}
