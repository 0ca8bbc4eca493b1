#pragma once

#include "sync/remotetree.h"

#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkReply;
class QTimer;
struct HttpResponse;

// Follows the server's change feed of one synced folder: from cursor 0 it pages through every
// entry into a fresh tree, which replaces the current one once the listing is complete; then it
// long-polls for changes and applies them as they come. A "reset" answer (the cursor is too old)
// starts a full listing again. Failures are retried with a growing pause, never in a tight loop.
class RemoteFeed final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RemoteFeed)

public:
    // How long the server holds a poll when nothing changes; the request's own time-out is this
    // wait plus the client's usual one, so a quiet poll is never taken for a lost connection.
    static constexpr int DefaultWaitSeconds = 25;
    static constexpr int DefaultPageLimit = 1000;
    static constexpr int FirstRetryMs = 1000;
    static constexpr int MaxRetryMs = 60000;

    // folderId: the synced folder (empty: the space's root); teamId: empty for the personal space.
    RemoteFeed(const QString &folderId, const QString &teamId, QObject *parent = nullptr);
    ~RemoteFeed() override;

    void setWaitSeconds(int seconds) { m_waitSeconds = seconds; }
    void setPageLimit(int limit) { m_pageLimit = limit; }
    void setRetryDelays(int firstMs, int maxMs);

    // Starts with a full listing (cursor 0); a running feed starts over.
    void start();
    // Continues from a tree and the cursor it was complete at (kept from an earlier run): only
    // what changed since is asked for. A server that no longer knows the cursor answers "reset"
    // and a full listing follows.
    void resume(const QString &cursor, const RemoteTree &tree);
    // Drops the request in flight (its answer is ignored) and any pending retry.
    void stop();
    // Asks for what changed now instead of waiting at the server: caughtUp() follows once an
    // answer to a request sent after this call is in, so the tree then holds every change that
    // was committed before the call (the engine's own uploads and moves among them).
    void catchUp();
    bool isCatchingUp() const { return m_catchingUp; }
    bool isRunning() const { return m_running; }
    // The tree is whole: a complete listing, or a resumed tree with every change since its cursor.
    bool isComplete() const { return m_complete; }

    const RemoteTree &tree() const { return m_tree; }
    QString cursor() const { return m_cursor; }
    // Full listings started so far (the first, and one per reset).
    int listings() const { return m_listings; }
    // The pause before the next retry after a failure; 0 when the last request succeeded.
    int retryDelayMs() const { return m_retryMs; }

    // The request's path for a cursor, exposed for tests.
    QString changesPath(const QString &cursor, bool wait) const;

signals:
    // The tree is whole and changed (after a listing, or after changes were applied).
    void treeChanged();
    // A full listing replaced the tree, which is whole at cursor().
    void listed();
    // Changes were applied to the whole tree (removed: the ids that left it); it is now at cursor.
    void advanced(const QList<RemoteChange> &changes, const QStringList &removed, const QString &cursor);
    // The server asked for a full listing again.
    void resetRequested();
    // A request failed; the feed retries after retryDelayMs().
    void failed(const QString &error);
    // A request succeeded after one or more failures.
    void recovered();
    // The tree holds everything committed before the last catchUp().
    void caughtUp();

private:
    void request();
    void dropPoll();
    void onAnswer(quint64 serial, const HttpResponse &response);
    void fail(const QString &error);

    QString m_folderId;
    QString m_teamId;
    int m_waitSeconds = DefaultWaitSeconds;
    int m_pageLimit = DefaultPageLimit;
    int m_firstRetryMs = FirstRetryMs;
    int m_maxRetryMs = MaxRetryMs;
    int m_retryMs = 0;
    int m_listings = 0;
    bool m_running = false;
    bool m_complete = false;
    bool m_listing = false; // paging from cursor 0 into m_staging
    bool m_failing = false;
    bool m_catchingUp = false;
    quint64 m_serial = 0;           // answers of older requests are ignored
    quint64 m_catchUpFrom = 0;      // the first request whose answer counts for catchUp()
    QPointer<QNetworkReply> m_poll; // a held long poll, dropped by catchUp() and stop()
    QString m_cursor;
    RemoteTree m_tree;
    RemoteTree m_staging;
    QTimer *m_retryTimer = nullptr;
};
