#pragma once

#include "http/httpmessage.h"

#include <string>
#include <string_view>
#include <vector>

namespace tvr::server::http {

// Every route of the server: a method, a path pattern and how its body is taken.
//
// A pattern is a path whose segments are literals or the capture "([^/]+)", which takes one
// whole non-empty segment; the captures become Request::matches. Paths are matched segment by
// segment in one pass without backtracking, so no path, however long, costs more than its
// length.
//
// A plain route gets its body in memory, at most `bodyLimit` bytes: a longer declared body is
// refused before any of it is read, a longer chunked one is cut off as soon as it is longer.
// A streamed route gets a BodyReader instead, on a thread of its own, and reads (at most
// `bodyLimit` bytes) only after it has checked the request.
class Router final
{
public:
    static constexpr qint64 JsonBodyLimit = 256 * 1024;
    // The capture of one path segment in a pattern.
    static constexpr std::string_view Capture = "([^/]+)";

    struct Route
    {
        std::string method;
        std::string pattern;
        std::vector<std::string> segments; // after the leading '/'; Capture for a capture
        Handler handler;
        StreamHandler streamHandler;
        qint64 bodyLimit = JsonBodyLimit;
    };

    void get(const std::string &pattern, Handler handler);
    void post(const std::string &pattern, Handler handler, qint64 bodyLimit = JsonBodyLimit);
    void put(const std::string &pattern, Handler handler, qint64 bodyLimit = JsonBodyLimit);
    void del(const std::string &pattern, Handler handler);
    void postStream(const std::string &pattern, StreamHandler handler, qint64 bodyLimit);
    void putStream(const std::string &pattern, StreamHandler handler, qint64 bodyLimit);

    // The route for a request (HEAD finds the GET route), with the whole path and then the
    // captures in `matches`; nothing when no route fits.
    const Route *match(const std::string &method, const std::string &path, std::vector<std::string> *matches) const;

    // The segments of a path after its leading '/' (empty ones included); nothing when it does
    // not begin with '/'.
    static bool splitPath(std::string_view path, std::vector<std::string_view> *segments);

private:
    void add(std::string method, const std::string &pattern, Handler handler, StreamHandler stream, qint64 limit);

    std::vector<Route> m_routes;
};

} // namespace tvr::server::http
