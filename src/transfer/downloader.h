#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkReply;
class QTimer;
class RangedFetch;
struct HttpResponse;

// One file from a server path into a folder, through a ".part" side file that a later download
// with resume continues by a ranged request. Beside the side file a small ".part.meta" file notes
// which remote file it belongs to (server path, ETag, size); a side file is continued only when
// that note matches, and the server is asked with If-Range to send the whole file when it changed.
// One target has at most one job in the whole process (see DownloadRegistry): a second start for
// a target in flight fails at once with DownloadRegistry::busyText and touches nothing.
// A large file (see setSegmentThreshold) from a server that takes ranges comes in several ranged
// streams at once into the same side file (RangedFetch); its note then also records how far each
// stream got, so a later job continues every one of them.
// Connect the signals before start(); the job deletes itself after success and stays (with its
// side file) after a failure. pause() stops it keeping the side file and its note (sigPaused), so
// a later job continues them; cancel() stops it and removes both.
class Downloader final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Downloader)

public:
    // A download that receives no byte for this long fails and keeps its side file.
    static constexpr int DefaultStallTimeoutMs = 60000;
    // Through a SOCKS5 proxy the file is asked for in parts of this size: the toolkit's SOCKS5
    // socket stops delivering once a reply's bounded read buffer has filled, so each part must fit
    // in a reply that reads without a bound.
    static constexpr qint64 ProxyPartBytes = 16 * 1024 * 1024;

    explicit Downloader(QObject *parent = nullptr);
    ~Downloader() override;

    // fileName is made safe (see safeFileName) before it is joined to dir. Call once.
    void start(const QString &path, const QString &dir, const QString &fileName, bool resume);
    // Shorter in tests; set before start().
    void setStallTimeoutMs(int ms) { m_stallTimeoutMs = ms; }
    // Asks for the file in ranged parts of this many bytes, each kept whole in memory on its way
    // (0: one request). Set before start(); through a SOCKS5 proxy ProxyPartBytes is used anyway.
    void setPartBytes(qint64 bytes) { m_partBytes = bytes; }
    // For downloads that are never continued (decrypted vault files): a failure removes the side
    // file and its note instead of keeping them. A refused start still touches nothing.
    void setDiscardPartOnFailure(bool discard) { m_discardPartOnFailure = discard; }
    // Streams for a large file (1: always one); set before start(). Defaults to defaultStreams().
    void setStreams(int streams) { m_streams = streams; }
    // From this size on a file is fetched in several streams; lower in tests. Set before start().
    void setSegmentThreshold(qint64 bytes) { m_segmentThreshold = bytes; }
    // The stream count of every download that is not given one (the user's setting).
    static void setDefaultStreams(int streams);
    static int defaultStreams();
    // Whether this job fetches in several streams now.
    bool isSegmented() const;

    // The final path a download of fileName into dir writes, for asking DownloadRegistry::isBusy first.
    static QString targetPath(const QString &dir, const QString &fileName);
    // The note kept beside a side file.
    static QString metaPathFor(const QString &partPath);

    QString absPath() const { return m_absPath; }
    QString partPath() const { return m_partPath; }

    // Stops the transfer; what the side file holds stays for the next job. sigPaused follows
    // (from inside this call when a request was running). Nothing happens after the job ended.
    void pause();
    // Stops the transfer and removes the side file and its note; no signal follows.
    void cancel();
    // The last failure came from the network (no answer), not from the server or the disk.
    bool failedOnNetwork() const { return m_networkFailure; }

signals:
    void sigProgress(qlonglong done, qlonglong total, qlonglong speed, int etaSec);
    void sigDone(QString absPath);
    void sigFailed(QString err);
    void sigPaused();

private:
    // What the server announced for the file a side file holds.
    struct Origin
    {
        QString source;   // server path without its query
        QByteArray etag;  // as sent, quotes included; empty when none was sent
        qint64 size = -1; // the whole file's length; -1 when not stated
    };

    void request();
    void restartFromZero();
    QString checkHeaders(const QNetworkReply &reply);
    void onProgress(qint64 received, qint64 replyTotal);
    void onDone(const HttpResponse &response);
    void onStalled();
    void finish();
    bool finalize();
    void fail(const QString &err);
    void releaseTarget();
    bool readOrigin(Origin &origin) const;
    bool wantsSegments(const QNetworkReply &reply) const;
    bool resumeSegments();
    void startSegments(bool fresh);
    void onSegmentsProgress(qint64 done, qint64 total);
    void reportProgress(qint64 done, qint64 total);
    void onSegmentsFailed(const QString &err);
    void stopSegments();
    void writeOrigin(const Origin &origin) const;

    QString m_path;
    QString m_absPath;
    QString m_partPath;
    QString m_metaPath;
    Origin m_origin; // of the side file being continued
    qint64 m_baseOffset = 0;
    qint64 m_total = 0;
    qint64 m_startMs = 0;
    bool m_ranged = false;   // the request continues the side file
    qint64 m_partBytes = 0;  // > 0: the file comes in parts of this size
    bool m_gotPart = false;  // the last answer was a part (206), not the whole file
    qint64 m_wholeSize = -1; // the file's size as its answers state it
    bool m_restarted = false;
    bool m_claimed = false;
    bool m_stalled = false;
    bool m_discardPartOnFailure = false;
    bool m_pausing = false;
    bool m_ended = false;
    bool m_networkFailure = false;
    QString m_refusal; // why the last answer's body was refused
    int m_stallTimeoutMs = DefaultStallTimeoutMs;
    QTimer *m_stallTimer = nullptr;
    QPointer<QNetworkReply> m_reply;
    int m_streams = 0;             // 0: defaultStreams()
    qint64 m_segmentThreshold = 0; // 0: RangedFetch::DefaultThreshold
    bool m_toSegments = false;     // the whole answer was refused to fetch the file in several streams
    bool m_noSegments = false;     // the server did not keep to ranges: one stream from now on
    QPointer<RangedFetch> m_fetch;
};
