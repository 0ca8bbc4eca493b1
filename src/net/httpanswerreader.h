#pragma once

#include <QByteArray>
#include <QtGlobal>

// Reads one HTTP/1.x answer from bytes as they arrive: the status line and headers (interim 1xx
// answers skipped), then a body framed by Content-Length, by chunked transfer coding or by the end
// of the connection. It holds no socket, so tests and fuzzers feed it any byte sequence directly.
class HttpAnswerReader final
{
public:
    // A hostile or broken server cannot make the client buffer without bound.
    static constexpr qsizetype MaxHeaderBytes = 64 * 1024;
    static constexpr qsizetype MaxBodyBytes = 8 * 1024 * 1024;

    enum class Result {
        NeedMore,   // the answer goes on
        Complete,   // the answer is whole
        Unreadable, // not HTTP, or framed so that its end cannot be known
        TooLarge,   // a body read until the connection closes grew past MaxBodyBytes
    };

    // Forgets everything read, for the next answer.
    void reset();
    // Takes bytes and reads as far as they go. Unreadable and TooLarge stay until reset().
    Result feed(const QByteArray &bytes);
    // The server closed the connection: true when that completes the answer (a body without a
    // length ends here) or it was complete already.
    bool finishAtClose();

    bool isComplete() const { return m_state == State::Done; }
    // The final answer's status, 0 before its status line was read.
    int status() const { return m_status; }
    // Whether the connection may carry the next request (HTTP/1.1 without "Connection: close").
    bool keepAlive() const { return m_keepAlive; }
    // The body read so far (de-chunked).
    const QByteArray &body() const { return m_body; }
    // Bytes that arrived past the end of the answer.
    bool hasExtraBytes() const { return isComplete() && !m_in.isEmpty(); }

private:
    enum class State { StatusLine, FixedBody, ChunkSize, ChunkData, ChunkEnd, Trailers, UntilClose, Done, Failed };

    Result parse();
    bool parseHead(const QByteArray &head);
    Result failWith(Result result);

    State m_state = State::StatusLine;
    Result m_failure = Result::Unreadable;
    QByteArray m_in;
    int m_status = 0;
    bool m_keepAlive = true;
    qint64 m_remaining = 0;
    QByteArray m_body;
};
