#include "shares/publiclink.h"

#include "core/servercontext.h"

namespace tvr::server {

QString publicBase(const ServerContext &ctx)
{
    QString base = ctx.config.publicUrl;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    if (!base.isEmpty())
        return base;
    QString host = ctx.config.host;
    if (host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('[')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return QStringLiteral("%1://%2:%3")
        .arg(ctx.config.tls() ? QStringLiteral("https") : QStringLiteral("http"), host)
        .arg(ctx.config.port);
}

QString publicShareUrl(const ServerContext &ctx, const QString &token)
{
    return publicBase(ctx) + QStringLiteral("/s/") + token;
}

} // namespace tvr::server
