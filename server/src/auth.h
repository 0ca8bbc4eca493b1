#pragma once

#include <QString>
#include <functional>
#include <httplib.h>
#include <optional>

namespace tvr::server {

struct ServerContext;

// The signed-in user of a request.
struct AuthUser
{
    qint64 id = 0;
    QString username;
};

// Resolves "X-User-Id" + "X-Auth-Token" to a live session, or nothing.
std::optional<AuthUser> authenticate(ServerContext &ctx, const httplib::Request &req);

using UserHandler = std::function<void(const httplib::Request &, httplib::Response &, const AuthUser &)>;
using UserReaderHandler = std::function<void(const httplib::Request &, httplib::Response &,
                                             const httplib::ContentReader &, const AuthUser &)>;

// Wrap a handler so that it runs only for a live session; otherwise the request is answered
// 401 with a JSON error. The reader form checks before any of the body has been read.
httplib::Server::Handler withUser(ServerContext &ctx, UserHandler handler);
httplib::Server::HandlerWithContentReader withUser(ServerContext &ctx, UserReaderHandler handler);

} // namespace tvr::server
