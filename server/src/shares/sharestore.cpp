#include "shares/sharestore.h"

#include "core/servercontext.h"
#include "files/filespace.h"
#include "files/filetree.h"
#include "storage/serversecret.h"
#include "teams/teamstore.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace tvr::server {

namespace {

#define SHARE_COLS                                                                                                     \
    "id, user_id, file_id, COALESCE(team_id, 0), token, code, name, is_folder, allow_download, created_at, "           \
    "COALESCE(expires_at, ''), COALESCE(cancelled_at, ''), views, downloads "

ShareLink fromRow(const QVariantList &r)
{
    ShareLink link;
    link.id = r.value(0).toLongLong();
    link.userId = r.value(1).toLongLong();
    link.fileId = r.value(2).toLongLong();
    link.teamId = r.value(3).toLongLong();
    link.token = r.value(4).toString();
    link.code = r.value(5).toString();
    link.name = r.value(6).toString();
    link.isFolder = r.value(7).toLongLong() != 0;
    link.allowDownload = r.value(8).toLongLong() != 0;
    link.createdAt = r.value(9).toString();
    link.expiresAt = r.value(10).toString();
    link.cancelledAt = r.value(11).toString();
    link.views = r.value(12).toLongLong();
    link.downloads = r.value(13).toLongLong();
    return link;
}

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(bytes.data()), count) != 1)
        return {};
    return bytes;
}

FileSpace spaceOf(const ShareLink &link)
{
    return link.teamId > 0 ? FileSpace::team(link.teamId, link.userId) : FileSpace::personal(link.userId);
}

} // namespace

QString ShareStore::newToken()
{
    const QByteArray bytes = randomBytes(TokenBytes);
    if (bytes.isEmpty())
        return {};
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString ShareStore::newCode()
{
    constexpr int AlphabetSize = int(sizeof(CodeAlphabet)) - 1;
    // Bytes at or above the largest multiple of the alphabet's size are drawn again, so every
    // character is equally likely.
    constexpr int Accept = 256 - 256 % AlphabetSize;
    QString code;
    while (code.size() < CodeLength) {
        const QByteArray bytes = randomBytes(16);
        if (bytes.isEmpty())
            return {};
        for (const char b : bytes) {
            const int value = static_cast<unsigned char>(b);
            if (value < Accept && code.size() < CodeLength)
                code += QLatin1Char(CodeAlphabet[value % AlphabetSize]);
        }
    }
    return code;
}

std::optional<ShareLink> ShareStore::create(ServerContext &ctx, qint64 userId, const FileEntry &entry, int validDays,
                                            bool withCode, bool allowDownload)
{
    const QString token = newToken();
    const QString code = withCode ? newCode() : QString();
    if (token.isEmpty() || (withCode && code.isEmpty()))
        return std::nullopt;
    const QDateTime now = ctx.clock.now();
    const QVariant expires = validDays > 0 ? QVariant(Clock::format(now.addDays(validDays))) : QVariant();
    if (!ctx.db.exec("INSERT INTO shares(token, code, user_id, file_id, team_id, name, is_folder, allow_download, "
                     "created_at, expires_at) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
                     {token, code, userId, entry.id, entry.teamId > 0 ? QVariant(entry.teamId) : QVariant(), entry.name,
                      entry.isFolder ? 1 : 0, allowDownload ? 1 : 0, Clock::format(now), expires}))
        return std::nullopt;
    return byToken(ctx, token);
}

std::vector<ShareLink> ShareStore::listFor(ServerContext &ctx, qint64 userId)
{
    std::vector<ShareLink> links;
    for (const auto &row :
         ctx.db.query("SELECT " SHARE_COLS "FROM shares WHERE user_id = ?1 ORDER BY id DESC", {userId}))
        links.push_back(fromRow(row));
    return links;
}

std::optional<ShareLink> ShareStore::byToken(ServerContext &ctx, const QString &token)
{
    const auto rows = ctx.db.query("SELECT " SHARE_COLS "FROM shares WHERE token = ?1", {token});
    if (rows.empty())
        return std::nullopt;
    return fromRow(rows.front());
}

int ShareStore::cancel(ServerContext &ctx, qint64 userId, const QList<qint64> &ids, bool *anyOwned)
{
    int cancelled = 0;
    *anyOwned = false;
    const QString now = ctx.clock.nowText();
    for (const qint64 id : ids) {
        if (!ctx.db.scalar("SELECT 1 FROM shares WHERE id = ?1 AND user_id = ?2", {id, userId}).isValid())
            continue;
        *anyOwned = true;
        if (ctx.db.exec("UPDATE shares SET cancelled_at = ?3 WHERE id = ?1 AND user_id = ?2 AND cancelled_at IS NULL",
                        {id, userId, now}))
            cancelled += ctx.db.changes();
    }
    return cancelled;
}

void ShareStore::countView(ServerContext &ctx, qint64 id)
{
    ctx.db.exec("UPDATE shares SET views = views + 1 WHERE id = ?1", {id});
}

void ShareStore::countDownload(ServerContext &ctx, qint64 id)
{
    ctx.db.exec("UPDATE shares SET downloads = downloads + 1 WHERE id = ?1", {id});
}

std::optional<FileEntry> ShareStore::sharedRoot(ServerContext &ctx, const ShareLink &link)
{
    // A member who left (or was removed from) the team no longer shares its files.
    if (link.teamId > 0 && !TeamStore::role(ctx, link.teamId, link.userId))
        return std::nullopt;
    return FileTree::findLive(ctx, spaceOf(link), link.fileId);
}

ShareStore::State ShareStore::state(ServerContext &ctx, const ShareLink &link)
{
    if (!link.cancelledAt.isEmpty())
        return State::Cancelled;
    if (!sharedRoot(ctx, link))
        return State::Deleted;
    // Both texts are UTC in one fixed-width format, so they order as the times do.
    if (!link.expiresAt.isEmpty() && ctx.clock.nowText() >= link.expiresAt)
        return State::Expired;
    return State::Active;
}

QString ShareStore::stateName(State state)
{
    switch (state) {
    case State::Active:
        return QStringLiteral("active");
    case State::Expired:
        return QStringLiteral("expired");
    case State::Cancelled:
        return QStringLiteral("cancelled");
    case State::Deleted:
        break;
    }
    return QStringLiteral("deleted");
}

std::optional<FileEntry> ShareStore::resolve(ServerContext &ctx, const ShareLink &link, const FileEntry &root,
                                             qint64 id)
{
    if (id == root.id)
        return root;
    // Found in the link's own space only, then walked up to the shared root: an id of another
    // space, or of this space outside the shared folder, never reaches it.
    const FileSpace space = spaceOf(link);
    const auto entry = FileTree::findLive(ctx, space, id);
    if (!entry || !root.isFolder)
        return std::nullopt;
    qint64 parent = entry->parentId;
    for (int depth = 0; depth < MaxDepth && parent != 0; ++depth) {
        if (parent == root.id)
            return entry;
        const auto up = FileTree::findLive(ctx, space, parent);
        if (!up)
            return std::nullopt;
        parent = up->parentId;
    }
    return std::nullopt;
}

qint64 ShareStore::totalSize(ServerContext &ctx, const FileEntry &entry)
{
    if (!entry.isFolder)
        return entry.size;
    qint64 total = 0;
    for (const FileEntry &e : FileTree::subtree(ctx, entry))
        total += e.isFolder ? 0 : e.size;
    return total;
}

bool ShareStore::codeMatches(const ShareLink &link, const QString &guess)
{
    const QByteArray expected = link.code.toUtf8();
    const QByteArray given = guess.trimmed().toLower().toUtf8();
    if (expected.isEmpty() || given.size() != expected.size())
        return false;
    return CRYPTO_memcmp(expected.constData(), given.constData(), size_t(expected.size())) == 0;
}

QString ShareStore::codeProof(ServerContext &ctx, const ShareLink &link)
{
    // Bound to the token and the code, so a proof never opens another link.
    return ServerSecret::hmacHex(ctx.secret, ("share-code:" + link.token + ':' + link.code).toUtf8());
}

bool ShareStore::proofMatches(ServerContext &ctx, const ShareLink &link, const QString &proof)
{
    const QByteArray expected = codeProof(ctx, link).toLatin1();
    const QByteArray given = proof.toLatin1();
    if (given.size() != expected.size())
        return false;
    return CRYPTO_memcmp(expected.constData(), given.constData(), size_t(expected.size())) == 0;
}

} // namespace tvr::server
