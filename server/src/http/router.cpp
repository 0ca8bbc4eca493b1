#include "http/router.h"

namespace tvr::server::http {

void Router::add(std::string method, const std::string &pattern, Handler handler, StreamHandler stream, qint64 limit)
{
    m_routes.push_back(Route{std::move(method), std::regex(pattern), std::move(handler), std::move(stream), limit});
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
    const std::string wanted = method == "HEAD" ? std::string("GET") : method;
    std::smatch found;
    for (const Route &route : m_routes) {
        if (route.method != wanted || !std::regex_match(path, found, route.pattern))
            continue;
        matches->clear();
        for (const auto &group : found)
            matches->push_back(group.str());
        return &route;
    }
    return nullptr;
}

} // namespace tvr::server::http
