#include "http/auth.h"

#include "accounts/accountstore.h"
#include "core/servercontext.h"
#include "http/envelope.h"

namespace tvr::server {

std::optional<AuthUser> authenticate(ServerContext &ctx, const http::Request &req)
{
    const auto userId = parseId(QString::fromStdString(req.header("X-User-Id")));
    const QString token = QString::fromStdString(req.header("X-Auth-Token"));
    if (!userId || token.isEmpty())
        return std::nullopt;
    return AccountStore::resolveSession(ctx, *userId, token);
}

static void refuse(const http::Request &req, http::Response &res)
{
    const bool sentCredentials = !req.header("X-Auth-Token").empty();
    fail(res, 401, sentCredentials ? Msg::SessionExpired : Msg::NotSignedIn, QStringLiteral("UNAUTHORIZED"));
}

http::Handler withUser(ServerContext &ctx, UserHandler handler)
{
    return [&ctx, handler = std::move(handler)](const http::Request &req, http::Response &res) {
        const auto user = authenticate(ctx, req);
        if (!user)
            return refuse(req, res);
        handler(req, res, *user);
    };
}

http::StreamHandler withUser(ServerContext &ctx, UserStreamHandler handler)
{
    return
        [&ctx, handler = std::move(handler)](const http::Request &req, http::Response &res, http::BodyReader &reader) {
            const auto user = authenticate(ctx, req);
            if (!user)
                return refuse(req, res); // nothing of the body is read
            handler(req, res, reader, *user);
        };
}

} // namespace tvr::server
