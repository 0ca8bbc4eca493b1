#pragma once

#include "http/httpmessage.h"

#include <string>
#include <string_view>

namespace tvr::server::http {

// A multipart/form-data body parsed as it streams in: feed() takes any slice of the body and
// reports each part's headers and then its bytes; nothing but the current part's headers and
// a boundary's length of data is ever buffered.
class MultipartParser final
{
public:
    static constexpr size_t MaxHeaderBytes = 16 * 1024;

    // The boundary parameter of a Content-Type header, or empty when there is none.
    static std::string boundaryOf(std::string_view contentType);

    MultipartParser(std::string boundary, BodyReader::PartSink onPart, BodyReader::Sink onData);

    // False once the body is malformed or a sink refused; every later call is refused too.
    bool feed(const char *data, size_t length);
    // True when the closing boundary has been seen.
    bool finished() const { return m_state == State::Done; }
    bool failed() const { return m_state == State::Failed; }

private:
    enum class State { Preamble, AfterBoundary, Headers, Data, Done, Failed };

    bool step();
    bool parseHeaders(std::string_view block);
    bool fail();

    std::string m_dashBoundary; // "--" + boundary
    std::string m_delimiter;    // "\r\n--" + boundary
    BodyReader::PartSink m_onPart;
    BodyReader::Sink m_onData;
    std::string m_buffer;
    State m_state = State::Preamble;
};

} // namespace tvr::server::http
