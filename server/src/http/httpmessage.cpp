#include "http/httpmessage.h"

#include "http/multipartparser.h"

#include <unistd.h>

namespace tvr::server::http {

std::string lowerAscii(std::string_view text)
{
    std::string out(text);
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return out;
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

namespace {

std::string decodeComponent(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() && hexDigitValue(text[i + 1]) >= 0 &&
                   hexDigitValue(text[i + 2]) >= 0) {
            out.push_back(char(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

const std::string *find(const Fields &fields, std::string_view name, bool caseless)
{
    const std::string key = caseless ? lowerAscii(name) : std::string(name);
    for (const auto &[k, v] : fields) {
        if ((caseless ? lowerAscii(k) : k) == key)
            return &v;
    }
    return nullptr;
}

} // namespace

Fields parseUrlEncoded(std::string_view text)
{
    Fields out;
    while (!text.empty()) {
        const size_t end = text.find('&');
        const std::string_view pair = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (pair.empty())
            continue;
        const size_t equals = pair.find('=');
        out.emplace_back(decodeComponent(pair.substr(0, equals)),
                         equals == std::string_view::npos ? std::string() : decodeComponent(pair.substr(equals + 1)));
    }
    return out;
}

std::string Request::header(std::string_view name) const
{
    const std::string *value = find(headers, name, true);
    return value ? *value : std::string();
}

bool Request::hasHeader(std::string_view name) const
{
    return find(headers, name, true) != nullptr;
}

std::string Request::param(std::string_view name) const
{
    const std::string *value = find(params, name, false);
    return value ? *value : std::string();
}

bool Request::hasParam(std::string_view name) const
{
    return find(params, name, false) != nullptr;
}

std::optional<qint64> Request::contentLength() const
{
    const std::string *value = find(headers, "content-length", true);
    if (!value || value->empty() || value->size() > 18)
        return std::nullopt;
    qint64 length = 0;
    for (const char c : *value) {
        if (c < '0' || c > '9')
            return std::nullopt;
        length = length * 10 + (c - '0');
    }
    return length;
}

bool Request::isMultipart() const
{
    return !MultipartParser::boundaryOf(header("content-type")).empty();
}

Response::~Response()
{
    if (fileDescriptor >= 0)
        ::close(fileDescriptor);
}

Response::Response(Response &&other) noexcept
{
    *this = std::move(other);
}

Response &Response::operator=(Response &&other) noexcept
{
    if (this == &other)
        return *this;
    if (fileDescriptor >= 0)
        ::close(fileDescriptor);
    status = other.status;
    signedIn = other.signedIn;
    headers = std::move(other.headers);
    contentType = std::move(other.contentType);
    body = std::move(other.body);
    producer = std::move(other.producer);
    deferred = std::move(other.deferred);
    producerLength = other.producerLength;
    fileDescriptor = other.fileDescriptor;
    fileOffset = other.fileOffset;
    fileLength = other.fileLength;
    other.fileDescriptor = -1;
    return *this;
}

void Response::setHeader(std::string_view name, std::string value)
{
    removeHeader(name);
    headers.emplace_back(std::string(name), std::move(value));
}

void Response::removeHeader(std::string_view name)
{
    const std::string key = lowerAscii(name);
    std::erase_if(headers, [&key](const auto &field) { return lowerAscii(field.first) == key; });
}

std::string Response::header(std::string_view name) const
{
    const std::string *value = find(headers, name, true);
    return value ? *value : std::string();
}

void Response::clearBody()
{
    body.clear();
    producer = nullptr;
    producerLength = -1;
    if (fileDescriptor >= 0)
        ::close(fileDescriptor);
    fileDescriptor = -1;
    fileOffset = 0;
    fileLength = 0;
}

void Response::setContent(std::string content, std::string type)
{
    clearBody();
    body = std::move(content);
    contentType = std::move(type);
}

void Response::setProducer(qint64 length, std::string type, Producer produce)
{
    clearBody();
    producer = std::move(produce);
    producerLength = length;
    contentType = std::move(type);
}

void Response::setFile(int fd, qint64 offset, qint64 length, std::string type)
{
    clearBody();
    fileDescriptor = fd;
    fileOffset = offset;
    fileLength = length;
    contentType = std::move(type);
}

bool BodyReader::readMultipart(const Request &request, const PartSink &onPart, const Sink &onData)
{
    const std::string boundary = MultipartParser::boundaryOf(request.header("content-type"));
    if (boundary.empty())
        return false;
    int files = 0;
    int fields = 0;
    qint64 fieldBytes = 0;
    bool inField = false;
    const auto countPart = [&](const Part &part) {
        inField = part.filename.empty();
        if (inField) {
            fieldBytes += qint64(part.name.size());
            m_formOverLimit = ++fields > MaxFields || fieldBytes > MaxFieldBytes;
        } else {
            m_formOverLimit = ++files > MaxFileParts;
        }
        return !m_formOverLimit && onPart(part);
    };
    const auto countData = [&](const char *data, size_t length) {
        if (inField) {
            fieldBytes += qint64(length);
            m_formOverLimit = fieldBytes > MaxFieldBytes;
            if (m_formOverLimit)
                return false;
        }
        return onData(data, length);
    };
    m_formOverLimit = false;
    MultipartParser parser(boundary, countPart, countData);
    const bool complete = read([&parser](const char *data, size_t length) { return parser.feed(data, length); });
    return complete && parser.finished();
}

} // namespace tvr::server::http
