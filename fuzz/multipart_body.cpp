// Multipart bodies of uploads, parsed as they stream in. The input is a Content-Type line, a
// newline and the body. The body is fed whole, byte by byte and in slices whose sizes come from
// the input: the parts, their bytes and the outcome are the same however the body arrives, no
// part holds more than the body did, and part headers stay within the limit.
#include "fuzzcheck.h"

#include "http/multipartparser.h"

#include <string>
#include <string_view>
#include <vector>

using tvr::server::http::MultipartParser;
using tvr::server::http::Part;

namespace {

struct Outcome
{
    std::vector<Part> parts;
    std::vector<std::string> data; // the bytes of each part
    bool finished = false;
    bool failed = false;
};

bool samePart(const Part &a, const Part &b)
{
    return a.name == b.name && a.filename == b.filename && a.contentType == b.contentType;
}

// A part named "refuse" is refused by its sink, as a route refuses a field it does not take.
Outcome parse(const std::string &boundary, std::string_view body, const std::vector<size_t> &slices)
{
    Outcome out;
    MultipartParser parser(
        boundary,
        [&out](const Part &part) {
            out.parts.push_back(part);
            out.data.emplace_back();
            return part.name != "refuse";
        },
        [&out](const char *bytes, size_t length) {
            TVR_FUZZ_CHECK(!out.data.empty()); // no bytes before a part began
            TVR_FUZZ_CHECK(length > 0);
            out.data.back().append(bytes, length);
            return true;
        });
    size_t at = 0;
    bool refused = false;
    for (size_t i = 0; at < body.size(); ++i) {
        const size_t length = std::min(slices.empty() ? body.size() : slices[i % slices.size()], body.size() - at);
        const bool accepted = parser.feed(body.data() + at, length);
        TVR_FUZZ_CHECK(accepted != parser.failed());
        TVR_FUZZ_CHECK(!refused || !accepted); // once refused, always refused
        refused = !accepted;
        at += length;
    }
    if (body.empty())
        TVR_FUZZ_CHECK(parser.feed(body.data(), 0) != parser.failed());
    out.finished = parser.finished();
    out.failed = parser.failed();
    TVR_FUZZ_CHECK(!(out.finished && out.failed));
    return out;
}

void checkSame(const Outcome &a, const Outcome &b)
{
    TVR_FUZZ_CHECK(a.finished == b.finished);
    TVR_FUZZ_CHECK(a.failed == b.failed);
    TVR_FUZZ_CHECK(a.parts.size() == b.parts.size());
    for (size_t i = 0; i < a.parts.size(); ++i) {
        TVR_FUZZ_CHECK(samePart(a.parts[i], b.parts[i]));
        TVR_FUZZ_CHECK(a.data[i] == b.data[i]);
    }
}

} // namespace

TVR_FUZZ_ENTRY
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const size_t newline = input.find('\n');
    const std::string_view contentType = input.substr(0, newline);
    const std::string_view body = newline == input.npos ? std::string_view() : input.substr(newline + 1);

    std::string boundary = MultipartParser::boundaryOf(contentType);
    TVR_FUZZ_CHECK(boundary.size() <= 200);
    if (boundary.empty())
        boundary = "b"; // the body is still worth parsing with some boundary

    const Outcome whole = parse(boundary, body, {});
    size_t total = 0;
    for (size_t i = 0; i < whole.parts.size(); ++i) {
        const Part &part = whole.parts[i];
        TVR_FUZZ_CHECK(part.name.size() + part.filename.size() + part.contentType.size() <=
                       MultipartParser::MaxHeaderBytes);
        total += whole.data[i].size();
    }
    TVR_FUZZ_CHECK(total <= body.size());
    if (!whole.parts.empty() && whole.parts.back().name == "refuse")
        TVR_FUZZ_CHECK(whole.failed);

    // Byte by byte, and in slices of 1 to 64 bytes read off the body's own bytes.
    checkSame(whole, parse(boundary, body, {1}));
    std::vector<size_t> slices;
    for (size_t i = 0; i < body.size() && slices.size() < 64; i += 7)
        slices.push_back(1 + size_t(static_cast<unsigned char>(body[i])) % 64);
    checkSame(whole, parse(boundary, body, slices));
    return 0;
}
