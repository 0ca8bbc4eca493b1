#pragma once

#include <QtGlobal>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tvr::server::http {

using Fields = std::vector<std::pair<std::string, std::string>>;

// One request as a route sees it. Nothing here belongs to the library that carries it.
struct Request
{
    std::string method;
    std::string path;                 // decoded, without the query
    std::vector<std::string> matches; // [0] the whole path, then the groups of the route's pattern
    Fields headers;                   // names in lower case
    Fields params;                    // the query string, decoded
    std::string remoteAddress;        // the peer's IP address as text
    std::string body;                 // buffered routes: the whole body (within the route's limit)

    // Case-insensitive; empty when absent.
    std::string header(std::string_view name) const;
    bool hasHeader(std::string_view name) const;
    std::string param(std::string_view name) const;
    bool hasParam(std::string_view name) const;
    // The declared Content-Length; nothing when absent or not a plain number.
    std::optional<qint64> contentLength() const;
    bool isMultipart() const;
};

// An answer. The body is either held (body), produced on demand (producer) or a file range
// (fileDescriptor), which the transport sends without copying it through user space.
struct Response
{
    // Writes up to `max` bytes at `offset` of the body into `buffer`; returns how many, 0 at the
    // end (for a body of unknown length), or -1 when the body cannot be completed (the
    // connection is then cut, so a client never takes a short body for a whole one).
    using Producer = std::function<qint64(quint64 offset, char *buffer, size_t max)>;

    int status = 200;
    Fields headers;
    std::string contentType;
    std::string body;
    Producer producer;
    qint64 producerLength = -1; // -1: unknown, sent chunked
    int fileDescriptor = -1;    // owned once set; closed by the transport
    qint64 fileOffset = 0;
    qint64 fileLength = 0;
    // Answered within a session: such answers are not counted against the few public ones an
    // address may have in flight.
    bool signedIn = false;
    // An answer given later (a long poll): the handler sets this and returns, which frees its
    // worker; the transport then calls it once with a Reply that sends the real answer. The
    // Reply must be called exactly once, from any thread; the connection waits until then.
    using Reply = std::function<void(Response &&answer)>;
    std::function<void(Reply reply)> deferred;

    Response() = default;
    ~Response();
    Response(const Response &) = delete;
    Response &operator=(const Response &) = delete;
    Response(Response &&other) noexcept;
    Response &operator=(Response &&other) noexcept;

    void setHeader(std::string_view name, std::string value); // replaces one of the same name
    void removeHeader(std::string_view name);
    std::string header(std::string_view name) const;
    void setContent(std::string content, std::string type);
    void setProducer(qint64 length, std::string type, Producer produce);
    // Takes ownership of fd and sends `length` bytes from `offset`.
    void setFile(int fd, qint64 offset, qint64 length, std::string type);
    // Ends the connection after this answer.
    void closeConnection() { setHeader("Connection", "close"); }
    // Drops any body (an earlier answer being replaced).
    void clearBody();
};

// The parts of a multipart/form-data body, as they begin.
struct Part
{
    std::string name;
    std::string filename; // empty for a plain field
    std::string contentType;
};

// The body of a streamed request, read on the handler's thread as it arrives. Each read
// call hands every remaining byte to the sink, in order; it returns false when the client went
// away, the body broke the route's limit, or the sink refused (then the rest stays unread and
// the transport disposes of it after the answer).
class BodyReader
{
public:
    using Sink = std::function<bool(const char *data, size_t length)>;
    using PartSink = std::function<bool(const Part &part)>;

    // What one multipart body may hold: file parts, and plain fields (count and bytes, names
    // included). A body beyond is refused as soon as it goes beyond, and formOverLimit() says so.
    static constexpr int MaxFileParts = 1000;
    static constexpr int MaxFields = 16;
    static constexpr qint64 MaxFieldBytes = 64 * 1024;

    virtual ~BodyReader() = default;
    virtual bool read(const Sink &sink) = 0;
    // Bytes delivered so far.
    virtual qint64 received() const = 0;

    // The body as multipart/form-data: onPart at the start of each part, then its bytes.
    // False also for a malformed body or a request that is not multipart.
    bool readMultipart(const Request &request, const PartSink &onPart, const Sink &onData);
    bool formOverLimit() const { return m_formOverLimit; }

private:
    bool m_formOverLimit = false;
};

using Handler = std::function<void(const Request &, Response &)>;
using StreamHandler = std::function<void(const Request &, Response &, BodyReader &)>;

// Lower case of an ASCII header name.
std::string lowerAscii(std::string_view text);
// The value of a hexadecimal digit, or -1 for any other character.
int hexDigitValue(char c);
// The pairs of an application/x-www-form-urlencoded text ("a=1&b=%E4%B8%AD"), decoded.
Fields parseUrlEncoded(std::string_view text);

} // namespace tvr::server::http
