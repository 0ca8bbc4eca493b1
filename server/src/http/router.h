#pragma once

#include "http/httpmessage.h"

#include <regex>
#include <string>
#include <vector>

namespace tvr::server::http {

// Every route of the server: a method, a path pattern (a regular expression matched against the
// whole path; its groups become Request::matches) and how its body is taken.
//
// A plain route gets its body in memory, at most `bodyLimit` bytes: a longer declared body is
// refused before any of it is read, a longer chunked one is cut off as soon as it is longer.
// A streamed route gets a BodyReader instead, on a thread of its own, and reads (at most
// `bodyLimit` bytes) only after it has checked the request.
class Router final
{
public:
    static constexpr qint64 JsonBodyLimit = 256 * 1024;

    struct Route
    {
        std::string method;
        std::regex pattern;
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

    // The route for a request (HEAD finds the GET route), with the pattern's groups; nothing
    // when no route fits.
    const Route *match(const std::string &method, const std::string &path, std::vector<std::string> *matches) const;

private:
    void add(std::string method, const std::string &pattern, Handler handler, StreamHandler stream, qint64 limit);

    std::vector<Route> m_routes;
};

} // namespace tvr::server::http
