#include "net/httpanswerreader.h"

#include <QList>
#include <algorithm>

namespace {
// End of the header block (index just past the empty line), or -1 while it is incomplete.
// Bare LF line ends are accepted as well.
qsizetype headEnd(const QByteArray &in)
{
    const qsizetype crlf = in.indexOf("\r\n\r\n");
    const qsizetype lf = in.indexOf("\n\n");
    if (crlf >= 0 && (lf < 0 || crlf < lf))
        return crlf + 4;
    return lf >= 0 ? lf + 2 : -1;
}

QByteArray stripCr(QByteArray line)
{
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

enum class Line { Incomplete, TooLong, Taken };

// Moves the next line of in, without its line end, into line. A line is too long past
// MaxHeaderBytes whether it arrived in one piece or not.
Line takeLine(QByteArray &in, QByteArray &line)
{
    const qsizetype end = in.indexOf('\n');
    if (end > HttpAnswerReader::MaxHeaderBytes || (end < 0 && in.size() > HttpAnswerReader::MaxHeaderBytes))
        return Line::TooLong;
    if (end < 0)
        return Line::Incomplete;
    line = stripCr(in.left(end));
    in.remove(0, end + 1);
    return Line::Taken;
}
} // namespace

void HttpAnswerReader::reset()
{
    m_state = State::StatusLine;
    m_failure = Result::Unreadable;
    m_in.clear();
    m_status = 0;
    m_keepAlive = true;
    m_remaining = 0;
    m_body.clear();
}

HttpAnswerReader::Result HttpAnswerReader::feed(const QByteArray &bytes)
{
    if (m_state == State::Failed)
        return m_failure;
    m_in.append(bytes);
    return parse();
}

bool HttpAnswerReader::finishAtClose()
{
    if (m_state == State::UntilClose) {
        m_body.append(m_in);
        m_in.clear();
        m_keepAlive = false;
        m_state = State::Done;
    }
    return m_state == State::Done;
}

HttpAnswerReader::Result HttpAnswerReader::failWith(Result result)
{
    m_state = State::Failed;
    m_failure = result;
    return result;
}

HttpAnswerReader::Result HttpAnswerReader::parse()
{
    while (true) {
        switch (m_state) {
        case State::StatusLine: {
            const qsizetype end = headEnd(m_in);
            // The same limit whether the head arrived in one piece or in many.
            if (end > MaxHeaderBytes || (end < 0 && m_in.size() > MaxHeaderBytes))
                return failWith(Result::Unreadable);
            if (end < 0)
                return Result::NeedMore;
            const QByteArray head = m_in.left(end);
            m_in.remove(0, end);
            if (!parseHead(head))
                return failWith(Result::Unreadable);
            break;
        }
        case State::FixedBody:
        case State::ChunkData: {
            const qint64 take = std::min<qint64>(m_remaining, m_in.size());
            m_body.append(m_in.constData(), take);
            m_in.remove(0, take);
            m_remaining -= take;
            if (m_remaining > 0)
                return Result::NeedMore;
            m_state = m_state == State::FixedBody ? State::Done : State::ChunkEnd;
            break;
        }
        case State::ChunkSize: {
            QByteArray line;
            const Line taken = takeLine(m_in, line);
            if (taken != Line::Taken)
                return taken == Line::Incomplete ? Result::NeedMore : failWith(Result::Unreadable);
            bool ok = false;
            const qint64 size = line.split(';').value(0).trimmed().toLongLong(&ok, 16);
            if (!ok || size < 0 || size > MaxBodyBytes - m_body.size())
                return failWith(Result::Unreadable);
            m_remaining = size;
            m_state = size == 0 ? State::Trailers : State::ChunkData;
            break;
        }
        case State::ChunkEnd:
        case State::Trailers: {
            QByteArray line;
            const Line taken = takeLine(m_in, line);
            if (taken != Line::Taken)
                return taken == Line::Incomplete ? Result::NeedMore : failWith(Result::Unreadable);
            if (m_state == State::ChunkEnd) {
                if (!line.isEmpty())
                    return failWith(Result::Unreadable); // chunk data longer than its size said
                m_state = State::ChunkSize;
            } else if (line.isEmpty()) {
                m_state = State::Done; // trailers end with an empty line
            }
            break;
        }
        case State::UntilClose:
            if (m_body.size() + m_in.size() > MaxBodyBytes)
                return failWith(Result::TooLarge);
            m_body.append(m_in);
            m_in.clear();
            return Result::NeedMore;
        case State::Done:
            return Result::Complete;
        case State::Failed:
            return m_failure;
        }
    }
}

bool HttpAnswerReader::parseHead(const QByteArray &head)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> statusLine = stripCr(lines.value(0)).split(' ');
    const QByteArray version = statusLine.value(0);
    if (!version.startsWith("HTTP/1.") || statusLine.size() < 2)
        return false;
    bool ok = false;
    const int status = statusLine.at(1).toInt(&ok);
    if (!ok || status < 100 || status > 999)
        return false;

    bool keepAlive = version != "HTTP/1.0";
    bool chunked = false;
    qint64 length = -1;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = stripCr(lines.at(i));
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            bool valid = false;
            const qint64 parsed = value.toLongLong(&valid);
            if (!valid || parsed < 0 || (length >= 0 && parsed != length))
                return false; // differing lengths: the body's end is unknowable
            length = parsed;
        } else if (name == "transfer-encoding") {
            chunked = value.toLower().endsWith("chunked");
        } else if (name == "connection") {
            const QByteArray tokens = value.toLower();
            if (tokens.contains("close"))
                keepAlive = false;
            else if (tokens.contains("keep-alive"))
                keepAlive = true;
        }
    }

    if (status < 200) { // an interim answer; the real one follows
        m_state = State::StatusLine;
        return status != 101;
    }
    if (length > MaxBodyBytes)
        return false;
    m_status = status;
    m_keepAlive = keepAlive;
    if (status == 204 || status == 304) {
        m_state = State::Done;
    } else if (chunked) {
        m_state = State::ChunkSize;
    } else if (length >= 0) {
        m_remaining = length;
        m_state = State::FixedBody;
    } else {
        m_keepAlive = false;
        m_state = State::UntilClose;
    }
    return true;
}
