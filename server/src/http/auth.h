#pragma once

#include "http/httpmessage.h"

#include <QString>
#include <functional>
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
std::optional<AuthUser> authenticate(ServerContext &ctx, const http::Request &req);

using UserHandler = std::function<void(const http::Request &, http::Response &, const AuthUser &)>;
using UserStreamHandler =
    std::function<void(const http::Request &, http::Response &, http::BodyReader &, const AuthUser &)>;

// Wrap a handler so that it runs only for a live session; otherwise the request is answered
// 401 with a JSON error. The streamed form checks before any of the body has been read.
http::Handler withUser(ServerContext &ctx, UserHandler handler);
http::StreamHandler withUser(ServerContext &ctx, UserStreamHandler handler);

} // namespace tvr::server
