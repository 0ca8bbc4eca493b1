#include "http/auth.h"

#include "accounts/accountstore.h"
#include "core/servercontext.h"
#include "http/envelope.h"

#include <map>
#include <mutex>
#include <utility>

namespace tvr::server {

std::optional<AuthUser> authenticate(ServerContext &ctx, const http::Request &req)
{
    const auto userId = parseId(QString::fromStdString(req.header("X-User-Id")));
    const QString token = QString::fromStdString(req.header("X-Auth-Token"));
    if (!userId || token.isEmpty())
        return std::nullopt;
    return AccountStore::resolveSession(ctx, *userId, token);
}

namespace {

// The streamed requests each account has running: one account cannot hold every upload worker.
class StreamPlace final
{
public:
    static constexpr int PerAccount = 8;

    StreamPlace(const ServerContext *ctx, qint64 userId)
        : m_key(ctx, userId)
    {
        std::lock_guard lock(mutex());
        int &running = counts()[m_key];
        m_taken = running < PerAccount;
        if (m_taken)
            ++running;
        else if (running == 0)
            counts().erase(m_key);
    }
    ~StreamPlace()
    {
        if (!m_taken)
            return;
        std::lock_guard lock(mutex());
        const auto it = counts().find(m_key);
        if (it != counts().end() && --it->second == 0)
            counts().erase(it);
    }
    StreamPlace(const StreamPlace &) = delete;
    StreamPlace &operator=(const StreamPlace &) = delete;

    bool taken() const { return m_taken; }

private:
    using Key = std::pair<const ServerContext *, qint64>;
    static std::mutex &mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::map<Key, int> &counts()
    {
        static std::map<Key, int> c;
        return c;
    }

    Key m_key;
    bool m_taken = false;
};

} // namespace

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
        res.signedIn = true;
        handler(req, res, *user);
    };
}

http::StreamHandler withUser(ServerContext &ctx, UserStreamHandler handler)
{
    return [&ctx, handler = std::move(handler)](const http::Request &req, http::Response &res,
                                                http::BodyReader &reader) {
        const auto user = authenticate(ctx, req);
        if (!user)
            return refuse(req, res); // nothing of the body is read
        res.signedIn = true;
        const StreamPlace place(&ctx, user->id);
        if (!place.taken())
            return fail(res, 429, QStringLiteral("同时进行的上传过多，请稍后再试"), QStringLiteral("TOO_MANY_UPLOADS"));
        handler(req, res, reader, *user);
    };
}

} // namespace tvr::server
