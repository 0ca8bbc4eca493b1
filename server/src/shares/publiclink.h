#pragma once

#include <QString>

namespace tvr::server {

struct ServerContext;

// The scheme, host and port that public links begin with, without a trailing "/": --public-url
// when it is given, otherwise the address the server listens on.
QString publicBase(const ServerContext &ctx);
// The link a recipient opens: publicBase + "/s/" + token.
QString publicShareUrl(const ServerContext &ctx, const QString &token);

} // namespace tvr::server
