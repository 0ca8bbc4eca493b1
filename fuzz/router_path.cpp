// Request paths against the router, with the shapes of the server's own routes: a path is
// matched in time proportional to its length whatever it holds, a match is exactly the route's
// literals with one non-empty segment per capture, and HEAD finds what GET finds.
#include "fuzzcheck.h"

#include "http/router.h"

#include <string>
#include <string_view>
#include <vector>

using tvr::server::http::Router;

namespace {

const char *const Patterns[] = {
    "/api/files",
    "/api/files/search",
    "/api/files/([^/]+)",
    "/api/files/([^/]+)/download",
    "/api/upload/chunk/([^/]+)/([^/]+)",
    "/api/teams/([^/]+)/members/([^/]+)",
    "/api/notifications/unread-count",
    "/api/notifications/([^/]+)",
    "/downloads/([^/]+)/([^/]+)",
    "/pay/([^/]+)",
};

const Router &router()
{
    static const Router routes = [] {
        Router r;
        for (const char *pattern : Patterns) {
            r.get(pattern, [](const auto &, auto &) {});
            r.del(pattern, [](const auto &, auto &) {});
        }
        return r;
    }();
    return routes;
}

void check(const std::string &method, const std::string &path)
{
    std::vector<std::string> matches;
    const Router::Route *route = router().match(method, path, &matches);
    if (method == "HEAD") {
        std::vector<std::string> asGet;
        TVR_FUZZ_CHECK(router().match("GET", path, &asGet) == route && (!route || asGet == matches));
    }
    if (!route)
        return;
    TVR_FUZZ_CHECK(!matches.empty() && matches.front() == path);
    std::vector<std::string_view> segments;
    TVR_FUZZ_CHECK(Router::splitPath(path, &segments) && segments.size() == route->segments.size());
    size_t capture = 1;
    for (size_t i = 0; i < segments.size(); ++i) {
        if (route->segments[i] == Router::Capture) {
            TVR_FUZZ_CHECK(capture < matches.size() && matches[capture] == segments[i]);
            TVR_FUZZ_CHECK(!matches[capture].empty() && matches[capture].find('/') == std::string::npos);
            ++capture;
        } else {
            TVR_FUZZ_CHECK(route->segments[i] == segments[i]);
        }
    }
    TVR_FUZZ_CHECK(capture == matches.size());
}

} // namespace

TVR_FUZZ_ENTRY
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    for (const char *method : {"GET", "HEAD", "DELETE", "POST"}) {
        check(method, input);
        // The input as an id in every route that takes one, and as a run of segments.
        check(method, "/pay/" + input);
        check(method, "/api/files/" + input + "/download");
        check(method, "/downloads/" + input);
        check(method, "/api/notifications/" + input);
    }
    return 0;
}
