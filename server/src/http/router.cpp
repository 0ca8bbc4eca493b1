#include "http/router.h"

#include <cstdio>
#include <cstdlib>

namespace tvr::server::http {

bool Router::splitPath(std::string_view path, std::vector<std::string_view> *segments)
{
    segments->clear();
    if (path.empty() || path.front() != '/')
        return false;
    size_t start = 1;
    for (;;) {
        const size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) {
            segments->push_back(path.substr(start));
            return true;
        }
        segments->push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
}

void Router::add(std::string method, const std::string &pattern, Handler handler, StreamHandler stream, qint64 limit)
{
    // The capture holds a '/' of its own: it stands as one marker byte while the pattern is split.
    constexpr char Marker = '\x01';
    std::string marked = pattern;
    for (size_t at = marked.find(Capture); at != std::string::npos; at = marked.find(Capture, at + 1))
        marked.replace(at, Capture.size(), 1, Marker);
    std::vector<std::string_view> parts;
    bool valid = splitPath(marked, &parts);
    for (std::string_view part : parts) {
        // A literal must stay a literal: any other pattern syntax is a programming error. A dot
        // is an ordinary character of a path ("share.css") and matches only itself.
        const bool capture = part.size() == 1 && part.front() == Marker;
        if (part.empty() || (!capture && part.find_first_of("()[]^$*+?|\\{}\x01") != std::string_view::npos))
            valid = false;
    }
    if (!valid) {
        std::fprintf(stderr, "tolvar-server: route pattern %s is not a path of literals and captures\n",
                     pattern.c_str());
        std::abort();
    }
    Route route{std::move(method), pattern, {}, std::move(handler), std::move(stream), limit};
    for (std::string_view part : parts)
        route.segments.emplace_back(part.size() == 1 && part.front() == Marker ? Capture : part);
    m_routes.push_back(std::move(route));
}

void Router::get(const std::string &pattern, Handler handler)
{
    add("GET", pattern, std::move(handler), nullptr, JsonBodyLimit);
}

void Router::post(const std::string &pattern, Handler handler, qint64 bodyLimit)
{
    add("POST", pattern, std::move(handler), nullptr, bodyLimit);
}

void Router::put(const std::string &pattern, Handler handler, qint64 bodyLimit)
{
    add("PUT", pattern, std::move(handler), nullptr, bodyLimit);
}

void Router::del(const std::string &pattern, Handler handler)
{
    add("DELETE", pattern, std::move(handler), nullptr, JsonBodyLimit);
}

void Router::postStream(const std::string &pattern, StreamHandler handler, qint64 bodyLimit)
{
    add("POST", pattern, nullptr, std::move(handler), bodyLimit);
}

void Router::putStream(const std::string &pattern, StreamHandler handler, qint64 bodyLimit)
{
    add("PUT", pattern, nullptr, std::move(handler), bodyLimit);
}

const Router::Route *Router::match(const std::string &method, const std::string &path,
                                   std::vector<std::string> *matches) const
{
    const std::string_view wanted = method == "HEAD" ? std::string_view("GET") : std::string_view(method);
    std::vector<std::string_view> segments;
    if (!splitPath(path, &segments))
        return nullptr;
    for (const Route &route : m_routes) {
        if (route.method != wanted || route.segments.size() != segments.size())
            continue;
        bool fits = true;
        for (size_t i = 0; fits && i < segments.size(); ++i) {
            const std::string &expected = route.segments[i];
            fits = expected == Capture ? !segments[i].empty() : expected == segments[i];
        }
        if (!fits)
            continue;
        matches->assign(1, path);
        for (size_t i = 0; i < segments.size(); ++i) {
            if (route.segments[i] == Capture)
                matches->emplace_back(segments[i]);
        }
        return &route;
    }
    return nullptr;
}

} // namespace tvr::server::http
