#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QTimer;

// One remote file fetched as several ranged requests at once, each writing its own share of one
// side file at that share's offset. Many paths (VPNs, company proxies, long routes with loss) hold
// a single connection well below the link; a few connections together fill it.
// Every answer must be exactly the range asked for (206, that first byte, the file's total and
// ETag): an answer at another offset is never written, a short one is followed up from where it
// stopped. How far each share got is kept in a note beside the side file (see Record), rewritten
// while the bytes arrive and whenever the fetch stops, so a later fetch continues every share.
// All shares draw from the client's download limiter together.
class RangedFetch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RangedFetch)

public:
    static constexpr int DefaultStreams = 4;
    static constexpr int MaxStreams = 8;
    // Files from this size on are worth the extra connections.
    static constexpr qint64 DefaultThreshold = 64 * 1024 * 1024;
    // Attempts in a row that move a share no byte forward before the fetch gives up.
    static constexpr int MaxFollowUps = 3;
    // How often, at most, the note is rewritten while bytes arrive.
    static constexpr int RecordIntervalMs = 1000;
    static constexpr int DefaultStallTimeoutMs = 60000;

    // One share of the file: bytes start..end (inclusive), of which the first done are written.
    struct Span
    {
        qint64 start = 0;
        qint64 end = 0;
        qint64 done = 0;
        qint64 length() const { return end - start + 1; }
        qint64 next() const { return start + done; }
        bool complete() const { return done >= length(); }
    };

    // The note beside the side file: which remote file it holds and how far each share got.
    struct Record
    {
        QString source;  // server path without its query
        QByteArray etag; // as sent, quotes included; empty when none was sent
        qint64 size = -1;
        QList<Span> spans;
        qint64 done() const;
    };

    // How the shares are asked for; the defaults suit the user's own files.
    struct Options
    {
        // Another access manager (with the proxy its owner set); null: the client's.
        QNetworkAccessManager *network = nullptr;
        // The session's headers with every request; false: only the client header, for files
        // that need no sign-in and hosts that must not learn the session.
        bool sessionHeaders = true;
        // The shares draw from the client's download limiter.
        bool limited = true;
        // Restarts each share may use in all, whether they moved it or not; -1: only attempts in
        // a row that bring nothing count (MaxFollowUps).
        int maxRestarts = -1;
        // Per request; 0: none (the stall watchdog still watches the fetch as a whole).
        int transferTimeoutMs = 0;
    };

    // What the answer to a request for a file's first byte tells.
    struct ProbeResult
    {
        int status = 0; // 0: no answer
        qint64 total = -1;
        QByteArray etag;
        bool ranged() const { return status == 206 && total > 0; }
    };

    enum class Failure {
        None,
        Network,       // no answer, a dropped connection or a stall: the side file stays resumable
        Changed,       // the server now has another file (size or ETag)
        NoRanges,      // the server answered a range with the whole file
        WrongPosition, // the server kept answering other ranges than asked for
        Disk,
    };

    // streams shares of nearly equal size covering 0..total-1 (fewer when the file is tiny).
    static QList<Span> split(qint64 total, int streams);
    // The note at path; nothing when it is missing, not ours, or its shares do not tile the file.
    static std::optional<Record> readRecord(const QString &path);
    // Written whole or not at all.
    static bool writeRecord(const QString &path, const Record &record);
    // The note kept beside a side file.
    static QString recordPathFor(const QString &filePath);
    // A GET of path (a server path or a full URL) as options ask, with range when not empty.
    static QNetworkRequest makeRequest(const QString &path, const Options &options, const QByteArray &range = {});
    // A reply's status, or 0 before any.
    static int statusOf(const QNetworkReply *reply);

    explicit RangedFetch(QObject *parent = nullptr);
    // Stops the transfers and writes the note, as stop() does.
    ~RangedFetch() override;

    void setStallTimeoutMs(int ms) { m_stallTimeoutMs = ms; }
    // Set before probe() or start().
    void setOptions(const Options &options) { m_options = options; }
    // Asks for the first byte of path; probed follows once the final answer's headers are in (or
    // the request failed). The one-byte answer is left to finish so its connection can be reused.
    void probe(const QString &path);
    // Fetches every share of record not yet complete from the server path into filePath (opened
    // without truncation, so what earlier fetches wrote stays) and keeps the note at recordPath
    // (none when empty). Ends with finished or failed. Call once.
    void start(const QString &path, const QString &filePath, const QString &recordPath, const Record &record);
    // Stops every transfer and writes the note; no signal follows.
    void stop();

    const Record &record() const { return m_record; }
    Failure failure() const { return m_failure; }

signals:
    void probed(RangedFetch::ProbeResult result);
    void progressed(qlonglong done, qlonglong total);
    // Every share is written and the side file closed.
    void finished();
    void failed(QString err);

private:
    struct Stream
    {
        QPointer<QNetworkReply> reply;
        std::unique_ptr<QFile> file;
        QTimer *pump = nullptr;
        qint64 doneAtStart = 0;
        int followUps = 0;
        int restarts = 0;
        bool checked = false;
        bool refused = false;
        bool networkDone = false;
    };

    QNetworkReply *get(const QNetworkRequest &request);
    void onProbeAnswer();
    void request(int index);
    bool checkAnswer(int index);
    void drain(int index);
    void endAttempt(int index);
    void onWatchdog();
    void fail(Failure failure, const QString &err);
    void halt();
    void saveRecord();

    Options m_options;
    QPointer<QNetworkReply> m_probe;
    QString m_path;
    QString m_filePath;
    QString m_recordPath;
    Record m_record;
    std::vector<std::unique_ptr<Stream>> m_streams;
    QByteArray m_buffer;
    QTimer *m_watchdog = nullptr;
    QElapsedTimer m_clock;
    qint64 m_lastRecordMs = 0;
    qint64 m_lastActivityMs = 0; // the last time any share moved
    int m_stallTimeoutMs = DefaultStallTimeoutMs;
    Failure m_failure = Failure::None;
    bool m_running = false;
};
