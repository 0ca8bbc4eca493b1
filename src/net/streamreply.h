#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QNetworkReply>
#include <QPointer>

class QTimer;

// A GET whose answer is read on the calling thread, straight from a socket of its own.
//
// The access manager reads every answer on a thread of its own and hands each arrival across,
// which wakes two threads per arrival: for a long download its network thread alone spends more
// CPU than curl does for the whole transfer. This reply stands in for the manager's wherever a
// QNetworkReply is read (status and headers, readyRead, finished, abort, errors) for a request
// that goes to the server directly. A body framed by its length waits in the socket's buffer
// until it is read, so a bounded read buffer holds the sender back as the manager's does.
//
// One request per connection ("Connection: close"); no redirects are followed (a 3xx is an
// answer like any other); an https certificate is never waived.
class StreamReply final : public QNetworkReply
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StreamReply)

public:
    static constexpr qsizetype MaxHeadBytes = 64 * 1024;
    static constexpr qsizetype MaxChunkLineBytes = 4096;

    // Whether this reply can carry a GET of url: http or https, with no proxy in between.
    static bool canCarry(const QUrl &url);

    // Sends the request at once.
    explicit StreamReply(const QNetworkRequest &request, QObject *parent = nullptr);
    ~StreamReply() override;

    void abort() override;
    void close() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }
    void setReadBufferSize(qint64 size) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    enum class Framing { Head, Length, Chunked, UntilClose, Done };
    enum class Chunk { Size, Data, DataEnd, Trailers };

    void onConnected();
    void onSocketReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    void onTimeout();
    // Reads the status line and headers; false while they are not all in.
    bool readHead();
    // Takes what the socket holds into m_pending, undoing chunked coding, up to the read buffer's
    // size. Chunked and until-close bodies go this way; a body with a length is read in place.
    void pull();
    bool dechunk(const QByteArray &raw);
    void bodyComplete();
    void fail(NetworkError code, const QString &text);
    // Emits finished() once (and errorOccurred() before it when failed).
    void finishOnce();
    qint64 pendingSize() const { return m_pending.size() - m_pendingAt; }
    void restartTimer();

    QPointer<QAbstractSocket> m_socket;
    QTimer *m_timer = nullptr;
    QByteArray m_request;
    QByteArray m_head; // the answer's head while it is read
    Framing m_framing = Framing::Head;
    qint64 m_remaining = 0; // Length: body bytes still in the socket or on their way
    // Body bytes taken out of the socket and not yet read (head overflow, de-chunked bytes).
    QByteArray m_pending;
    qsizetype m_pendingAt = 0;
    // Chunked coding: raw bytes not yet de-chunked, where in a chunk, and what is left of it.
    QByteArray m_raw;
    Chunk m_chunk = Chunk::Size;
    qint64 m_chunkLeft = 0;
    qint64 m_bufferSize = 0; // 0: unbounded
    bool m_finished = false;
    bool m_pullQueued = false;
};
