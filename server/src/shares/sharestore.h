#pragma once

#include "files/fileentry.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>
#include <vector>

namespace tvr::server {

struct ServerContext;

// One share link as stored: who made it, what it shows, its code and its life.
struct ShareLink
{
    qint64 id = 0;
    qint64 userId = 0;
    qint64 fileId = 0;
    qint64 teamId = 0; // 0: a file of the maker's personal space
    QString token;
    QString code; // empty: no extraction code
    QString name; // the entry's name when the link was made
    bool isFolder = false;
    bool allowDownload = true;
    QString createdAt;
    QString expiresAt; // empty: never
    QString cancelledAt;
    qint64 views = 0;
    qint64 downloads = 0;
};

// Share links: made by a signed-in user for one live entry of their own space or of a team they
// belong to, reached by anyone through an unguessable token (and the code, when there is one).
// A link serves only while it is active: not cancelled, not past its expiry, its entry still
// live and, for a team entry, its maker still a member of the team.
class ShareStore final
{
public:
    enum class State { Active, Expired, Cancelled, Deleted };

    static constexpr int TokenBytes = 18; // 144 bits, 24 characters of base64url
    static constexpr int CodeLength = 4;
    // Lower-case letters and digits without those read as one another (0/o, 1/l/i).
    static constexpr char CodeAlphabet[] = "abcdefghjkmnpqrstuvwxyz23456789";
    static constexpr int MaxCancelIds = 500;
    // Deep enough for any real tree; a walk longer than this is treated as outside the share.
    static constexpr int MaxDepth = 256;

    static QString newToken();
    static QString newCode();

    static std::optional<ShareLink> create(ServerContext &ctx, qint64 userId, const FileEntry &entry, int validDays,
                                           bool withCode, bool allowDownload);
    // The user's links, newest first.
    static std::vector<ShareLink> listFor(ServerContext &ctx, qint64 userId);
    static std::optional<ShareLink> byToken(ServerContext &ctx, const QString &token);
    // Cancels those of the ids that are the user's own live links; `anyOwned` tells whether any
    // id named a link of the user at all (cancelled before or not).
    static int cancel(ServerContext &ctx, qint64 userId, const QList<qint64> &ids, bool *anyOwned);

    static void countView(ServerContext &ctx, qint64 id);
    static void countDownload(ServerContext &ctx, qint64 id);

    // The shared entry when it is still live and still the maker's to share.
    static std::optional<FileEntry> sharedRoot(ServerContext &ctx, const ShareLink &link);
    static State state(ServerContext &ctx, const ShareLink &link);
    static QString stateName(State state);

    // The live entry `id` when it is the shared root or lies beneath it; nothing otherwise (an
    // entry of another space, of another folder, in the trash, or no entry at all).
    static std::optional<FileEntry> resolve(ServerContext &ctx, const ShareLink &link, const FileEntry &root,
                                            qint64 id);
    // Bytes of the live files in the entry's subtree (the entry's own size for a file).
    static qint64 totalSize(ServerContext &ctx, const FileEntry &entry);

    // The guess compared with the code in constant time (for equal lengths).
    static bool codeMatches(const ShareLink &link, const QString &guess);
    // The value of the cookie that proves the code was given for this link.
    static QString codeProof(ServerContext &ctx, const ShareLink &link);
    static bool proofMatches(ServerContext &ctx, const ShareLink &link, const QString &proof);
};

} // namespace tvr::server
