#include "http/multipartparser.h"

#include <cctype>

namespace tvr::server::http {

namespace {

constexpr size_t MaxPreambleBytes = 16 * 1024;
constexpr size_t MaxBoundaryLineBytes = 1024;

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// RFC 5987 "UTF-8''percent%20encoded" (the charset must be UTF-8).
std::optional<std::string> extendedValue(std::string_view value)
{
    const size_t quote = value.find("''");
    if (quote == std::string_view::npos || lowerAscii(value.substr(0, quote)) != "utf-8")
        return std::nullopt;
    std::string out;
    for (size_t i = quote + 2; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size()) {
            const int high = hexDigitValue(value[i + 1]);
            const int low = hexDigitValue(value[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            out.push_back(char(high * 16 + low));
            i += 2;
        } else {
            out.push_back(value[i]);
        }
    }
    return out;
}

// The parameters of a header value such as `form-data; name="a"; filename="b.txt"`, with
// quoted strings unquoted.
Fields parameters(std::string_view value)
{
    Fields out;
    size_t i = value.find(';');
    while (i != std::string_view::npos && i < value.size()) {
        ++i;
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
            ++i;
        const size_t equals = value.find('=', i);
        if (equals == std::string_view::npos)
            break;
        const std::string key = lowerAscii(trimmed(value.substr(i, equals - i)));
        std::string text;
        size_t j = equals + 1;
        while (j < value.size() && (value[j] == ' ' || value[j] == '\t'))
            ++j;
        if (j < value.size() && value[j] == '"') {
            // Taken literally up to the closing quote: clients send Windows paths with their
            // backslashes as they are, and encode a quote in a name as %22.
            for (++j; j < value.size() && value[j] != '"'; ++j)
                text.push_back(value[j]);
            i = value.find(';', j);
        } else {
            const size_t end = value.find(';', j);
            text = std::string(trimmed(value.substr(j, end == std::string_view::npos ? value.npos : end - j)));
            i = end;
        }
        out.emplace_back(key, std::move(text));
    }
    return out;
}

} // namespace

std::string MultipartParser::boundaryOf(std::string_view contentType)
{
    if (lowerAscii(trimmed(contentType.substr(0, contentType.find(';')))) != "multipart/form-data")
        return {};
    for (const auto &[key, value] : parameters(contentType)) {
        if (key == "boundary" && !value.empty() && value.size() <= 200)
            return value;
    }
    return {};
}

MultipartParser::MultipartParser(std::string boundary, BodyReader::PartSink onPart, BodyReader::Sink onData)
    : m_dashBoundary("--" + boundary)
    , m_delimiter("\r\n--" + boundary)
    , m_onPart(std::move(onPart))
    , m_onData(std::move(onData))
{}

bool MultipartParser::fail()
{
    m_state = State::Failed;
    m_buffer.clear();
    return false;
}

bool MultipartParser::feed(const char *data, size_t length)
{
    if (m_state == State::Failed)
        return false;
    if (m_state == State::Done)
        return true; // the epilogue is ignored
    m_buffer.append(data, length);
    while (step()) {
    }
    return m_state != State::Failed;
}

// One transition when the buffer holds enough for it; false when more input is needed (or
// the parse failed or ended).
bool MultipartParser::step()
{
    switch (m_state) {
    case State::Preamble: {
        // The limits below hold for where the boundary starts, however the body is sliced: a
        // partial match at the end of the buffer may still start within them.
        const size_t at = m_buffer.find(m_dashBoundary);
        if (at == std::string::npos)
            return m_buffer.size() >= MaxPreambleBytes + m_dashBoundary.size() ? fail() : false;
        if (at > MaxPreambleBytes)
            return fail();
        m_buffer.erase(0, at + m_dashBoundary.size());
        m_state = State::AfterBoundary;
        return true;
    }
    case State::AfterBoundary: {
        if (m_buffer.size() < 2)
            return false;
        if (m_buffer.compare(0, 2, "--") == 0) {
            m_state = State::Done;
            m_buffer.clear();
            return false;
        }
        const size_t end = m_buffer.find("\r\n");
        if (end == std::string::npos)
            return m_buffer.size() > MaxBoundaryLineBytes + 1 ? fail() : false;
        if (end > MaxBoundaryLineBytes || !trimmed(std::string_view(m_buffer).substr(0, end)).empty())
            return fail(); // only padding may follow a boundary on its line
        m_buffer.erase(0, end + 2);
        m_state = State::Headers;
        return true;
    }
    case State::Headers: {
        size_t end = 0;
        size_t skip = 0;
        if (m_buffer.compare(0, 2, "\r\n") == 0) {
            skip = 2; // a part without headers
        } else {
            end = m_buffer.find("\r\n\r\n");
            if (end == std::string::npos)
                return m_buffer.size() > MaxHeaderBytes + 3 ? fail() : false;
            skip = end + 4;
        }
        if (end > MaxHeaderBytes || !parseHeaders(std::string_view(m_buffer).substr(0, end)))
            return fail();
        m_buffer.erase(0, skip);
        m_state = State::Data;
        return true;
    }
    case State::Data: {
        const size_t at = m_buffer.find(m_delimiter);
        if (at != std::string::npos) {
            if (at > 0 && !m_onData(m_buffer.data(), at))
                return fail();
            m_buffer.erase(0, at + m_delimiter.size());
            m_state = State::AfterBoundary;
            return true;
        }
        // Everything but a possible start of the delimiter is part data.
        const size_t keep = m_delimiter.size() - 1;
        if (m_buffer.size() > keep) {
            const size_t emit = m_buffer.size() - keep;
            if (!m_onData(m_buffer.data(), emit))
                return fail();
            m_buffer.erase(0, emit);
        }
        return false;
    }
    case State::Done:
    case State::Failed:
        return false;
    }
    return false;
}

bool MultipartParser::parseHeaders(std::string_view block)
{
    Part part;
    bool disposition = false;
    while (!block.empty()) {
        const size_t end = block.find("\r\n");
        const std::string_view line = block.substr(0, end);
        block = end == std::string_view::npos ? std::string_view() : block.substr(end + 2);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return false;
        const std::string name = lowerAscii(trimmed(line.substr(0, colon)));
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (name == "content-disposition") {
            if (lowerAscii(trimmed(value.substr(0, value.find(';')))) != "form-data")
                return false;
            disposition = true;
            std::optional<std::string> extended;
            for (const auto &[key, text] : parameters(value)) {
                if (key == "name")
                    part.name = text;
                else if (key == "filename")
                    part.filename = text;
                else if (key == "filename*")
                    extended = extendedValue(text);
            }
            if (extended)
                part.filename = *extended;
        } else if (name == "content-type") {
            part.contentType = std::string(value);
        }
    }
    return disposition && m_onPart(part);
}

} // namespace tvr::server::http
