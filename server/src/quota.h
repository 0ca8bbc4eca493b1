#pragma once

#include "filespace.h"

#include <QtGlobal>

namespace tvr::server {

struct ServerContext;

// Storage figures of an account, in bytes. Used counts every personal file, the trash
// included (trashed files still occupy space until they are purged), the files of the teams
// the account owns and the vault.
class Quota final
{
public:
    static qint64 used(ServerContext &ctx, qint64 userId);
    // The base quota of the account plus capacity bought and not yet expired.
    static qint64 limit(ServerContext &ctx, qint64 userId);
    // True when `extra` more bytes fit.
    static bool fits(ServerContext &ctx, qint64 userId, qint64 extra);
    // The account whose quota a space uses: the user for a personal space, the owner for a team.
    static qint64 holder(ServerContext &ctx, const FileSpace &space);
};

} // namespace tvr::server
