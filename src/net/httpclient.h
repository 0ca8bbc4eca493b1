#pragma once

#include "net/httpresponse.h"
#include "net/ratelimiter.h"

#include <QNetworkProxy>
#include <QObject>
#include <QUrl>
#include <functional>

class QHttpMultiPart;
class QIODevice;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// The one gateway to the storage service. Builds URLs from TVR_SERVER, stamps the session
// headers, and hands every reply to its callback as one HttpResponse on the GUI thread.
class HttpClient final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HttpClient)

public:
    using ProgressFn = std::function<void(qint64 received, qint64 total)>;

    static HttpClient *instance();

    void get(const QString &path, HttpCallback callback);
    // A GET the server may hold for up to waitMs before it answers (a long poll): its time-out
    // is that wait plus the usual one. The reply is returned so that the caller can abort a held
    // poll (callback then still gets the abort's answer).
    QNetworkReply *getLongPoll(const QString &path, int waitMs, HttpCallback callback);
    // A GET whose successful body the caller reads itself from raw (a listing of 100,000 files
    // would otherwise be held as a JSON document too): on a 2xx without transport error, json
    // stays null and isJson false; every other answer is read as get() reads it.
    void getUnparsed(const QString &path, HttpCallback callback);
    void post(const QString &path, const QJsonValue &body, HttpCallback callback);
    void put(const QString &path, const QJsonValue &body, HttpCallback callback);
    void del(const QString &path, HttpCallback callback);
    void send(const QByteArray &verb, const QString &path, const QJsonValue &body, HttpCallback callback);
    // Takes ownership of multipart.
    void postMultipart(const QString &path, QHttpMultiPart *multipart, HttpCallback callback);
    // POSTs length bytes read from body (owned by the reply from now on), streamed as they are
    // read; a sequential body may hold its bytes back (read 0) and signal readyRead later. The
    // reply is answered through callback like every request; the caller may abort it.
    QNetworkReply *postBody(const QString &path, QIODevice *body, qint64 length, const QByteArray &contentType,
                            HttpCallback callback);
    // Optional parts of a download.
    struct DownloadOptions
    {
        QByteArray range;   // "Range" value; the body is then appended to the local file
        QByteArray ifRange; // "If-Range" value, sent only together with a range
        // The reply may hold any amount unread (for bounded parts; see Downloader::ProxyPartBytes).
        bool unboundedReadBuffer = false;
        // Sees the status and headers of a 2xx answer before any byte of its body is written; a
        // non-empty answer refuses the body: nothing is written and done gets ok false with that text.
        std::function<QString(const QNetworkReply &reply)> checkHeaders;
    };

    // A GET whose body is streamed (downloads): read on the calling thread where no proxy is in
    // between (StreamReply, which costs a fraction of the access manager's thread per arrival),
    // through the access manager otherwise. Parented to this client.
    QNetworkReply *streamGet(const QNetworkRequest &request);
    // Streams the body into localPath (appending when range is given, unless it starts at byte 0;
    // a 2xx answer to a range that is not 206 replaces the file's content, also when its body is
    // empty), no faster than
    // the download limiter allows. progress gets the body bytes written so far and the answer's
    // stated length (-1 when none). The caller owns the returned reply (aborting it keeps what was
    // written); null when the file cannot be opened (done is then called with the error).
    QNetworkReply *download(const QString &path, const QString &localPath, ProgressFn progress, HttpCallback done,
                            const QByteArray &range = {});
    QNetworkReply *download(const QString &path, const QString &localPath, ProgressFn progress, HttpCallback done,
                            const DownloadOptions &options);

    QUrl buildUrl(const QString &path) const;
    QString baseUrl() const;
    void applyHeaders(QNetworkRequest &request) const;
    QNetworkAccessManager *network();

    // The proxy of every request, the chunk connections' included. DefaultProxy (the default)
    // follows the system's settings; NoProxy goes direct; an HTTP or SOCKS5 proxy is used as given.
    void setProxy(const QNetworkProxy &proxy);
    QNetworkProxy proxy() const { return m_proxy; }
    // The proxy a connection to url goes through: the one set, or the system's choice for url.
    QNetworkProxy proxyFor(const QUrl &url) const;

    // Token buckets of all transfer bodies, one per direction; rate 0 (the default) is no limit.
    RateLimiter &uploadLimiter() { return m_uploadLimiter; }
    RateLimiter &downloadLimiter() { return m_downloadLimiter; }

    // Counts the reply's upload progress into bytesUp and answers callback when it finishes,
    // exactly like the client's own JSON requests. Used by transfers that build requests themselves.
    void handleReply(QNetworkReply *reply, HttpCallback callback);
    // What every callback receives for an answer: the body parsed as JSON, ok for a 2xx without a
    // transport error, the failure text chosen (transport text for a cut-off 2xx, else the
    // service's text, the body, the transport text, the status), PROFILE_INCOMPLETE announced.
    // parseSuccess false leaves a successful body unparsed (see getUnparsed).
    HttpResponse makeResponse(int status, const QByteArray &raw, const QString &transportError,
                              bool parseSuccess = true);
    // Whether a reply's error code is the network's (connection, time-out, proxy unreachable), not an
    // answer's (an HTTP status, or a proxy refusing the account).
    static bool isNetworkError(const QNetworkReply *reply);
    // Whether a reply failed because the server could not be reached or the connection broke (not
    // an answer, not an abort by the client itself).
    static bool isConnectionFailure(const QNetworkReply *reply);
    // Stops a reply so that nothing more of its body is written anywhere. abort() and close() do
    // nothing to a reply that has finished on the network while the speed limit still holds part of
    // its body back, so such a reply's device is closed directly: its drain then sees it closed.
    static void stop(QNetworkReply *reply);
    // A failed reply's transport error in the user's words (Qt's own texts are English).
    static QString networkErrorText(const QNetworkReply *reply);
    // What a proxy's 407 means to the user: an account is needed, or the one given is refused.
    static QString proxyAuthenticationText(bool accountGiven);

    // Transfer time-out of JSON requests; 20 s in the product, shorter in tests.
    int jsonTimeoutMs() const { return m_jsonTimeoutMs; }
    void setJsonTimeoutMs(int ms) { m_jsonTimeoutMs = ms; }

    // Byte counters for the status bar's meter, which takes and resets them once a second.
    qint64 bytesUp = 0;
    qint64 bytesDown = 0;

    static constexpr int DefaultJsonTimeoutMs = 20000;
    static constexpr auto DefaultBaseUrl = "https://api.tolvar.cn";

signals:
    void profileIncomplete();
    // A request of any kind found no server or lost its connection; the status bar says so at once.
    void connectionFailed();

private:
    HttpClient() = default;

    QNetworkAccessManager *m_network = nullptr;
    int m_jsonTimeoutMs = DefaultJsonTimeoutMs;
    QNetworkProxy m_proxy{QNetworkProxy::DefaultProxy};
    RateLimiter m_uploadLimiter;
    RateLimiter m_downloadLimiter;
};
