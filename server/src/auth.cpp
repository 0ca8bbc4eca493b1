#include "auth.h"

#include "accountstore.h"
#include "envelope.h"
#include "servercontext.h"

namespace tvr::server {

std::optional<AuthUser> authenticate(ServerContext &ctx, const httplib::Request &req)
{
    const auto userId = parseId(QString::fromStdString(req.get_header_value("X-User-Id")));
    const QString token = QString::fromStdString(req.get_header_value("X-Auth-Token"));
    if (!userId || token.isEmpty())
        return std::nullopt;
    return AccountStore::resolveSession(ctx, *userId, token);
}

static void refuse(const httplib::Request &req, httplib::Response &res)
{
    const bool sentCredentials = !req.get_header_value("X-Auth-Token").empty();
    fail(res, 401, sentCredentials ? Msg::SessionExpired : Msg::NotSignedIn, QStringLiteral("UNAUTHORIZED"));
}

httplib::Server::Handler withUser(ServerContext &ctx, UserHandler handler)
{
    return [&ctx, handler = std::move(handler)](const httplib::Request &req, httplib::Response &res) {
        const auto user = authenticate(ctx, req);
        if (!user) {
            refuse(req, res);
            return;
        }
        handler(req, res, *user);
    };
}

httplib::Server::HandlerWithContentReader withUser(ServerContext &ctx, UserReaderHandler handler)
{
    return [&ctx, handler = std::move(handler)](const httplib::Request &req, httplib::Response &res,
                                                const httplib::ContentReader &reader) {
        const auto user = authenticate(ctx, req);
        if (!user) {
            refuse(req, res);
            skipBody(req, res, reader);
            return;
        }
        handler(req, res, reader, *user);
    };
}

} // namespace tvr::server
