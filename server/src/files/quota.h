#pragma once

#include "files/filespace.h"

#include <QString>
#include <QtGlobal>
#include <atomic>
#include <map>
#include <set>
#include <utility>

namespace tvr::server {

struct ServerContext;

// Storage figures of an account, in bytes. Used counts every personal file, the trash
// included (trashed files still occupy space until they are purged), the files of the teams
// the account owns and the vault. Writes in progress hold reservations (QuotaReservation), and
// open chunked uploads hold their whole size until they are merged, cancelled or expire; both
// count against the room left like stored bytes, so parallel writes of one account can never
// together exceed its quota. Reservations are kept under the database lock, so a check and
// the insert that follows it inside one Transaction see the same figures. Reservations are rows
// of the shared database, so the instances of a cluster count each other's writes; the rows of
// an instance that stops beating (killed) no longer count.
class Quota final
{
public:
    // The largest size accepted for one file (anything larger is refused before any arithmetic).
    static constexpr qint64 MaxFileBytes = 1LL << 40;

    static qint64 used(ServerContext &ctx, qint64 userId);
    // The base quota of the account plus capacity bought and not yet expired.
    static qint64 limit(ServerContext &ctx, qint64 userId);
    // Bytes held by writes in progress and by open chunked uploads.
    static qint64 reserved(ServerContext &ctx, qint64 userId);
    // What is left: limit - used - reserved, never negative.
    static qint64 room(ServerContext &ctx, qint64 userId);
    // True when `extra` more bytes fit beside what is stored and reserved.
    static bool fits(ServerContext &ctx, qint64 userId, qint64 extra);
    // False once stored and reserved bytes are beyond the limit (e.g. bought capacity expired).
    static bool withinLimit(ServerContext &ctx, qint64 userId);
    // Holds the account's quota figures until the calling transaction ends (PostgreSQL: locks
    // its row). A write that turns reserved bytes into stored ones takes it first, so that a
    // check on another instance never reads the bytes in neither place (its statements see
    // one commit after another) nor in both.
    static void hold(ServerContext &ctx, qint64 userId);
    // The account whose quota a space uses: the user for a personal space, the owner for a team.
    static qint64 holder(ServerContext &ctx, const FileSpace &space);

    // Entries (files and folders, the trash included) of the account's personal space and of
    // the teams it owns; limited per account so that empty files are not free.
    static qint64 entries(ServerContext &ctx, qint64 userId);
    static bool entriesFit(ServerContext &ctx, qint64 userId, qint64 extra);
    static QString tooManyEntries(ServerContext &ctx);

    // Ends the uploads in flight of a member into a team (the member was removed): their
    // reservations are given back and they can grow no more.
    static void endTeamWrites(ServerContext &ctx, qint64 teamId, qint64 memberId);
};

class QuotaReservation;

// This process's writes into teams, so that removing a member ends them at once here (other
// instances learn it from their rows); lives in the ServerContext.
struct QuotaLedger
{
    std::set<std::pair<std::pair<qint64, qint64>, QuotaReservation *>> teamWrites; // (team, member)
};

// Room held for one write while its bytes arrive. It grows with the write and is released when
// the write is recorded (release() inside the recording Transaction, before its quota check,
// so the check sees every other write but not this one twice) or abandoned (destructor).
class QuotaReservation final
{
public:
    QuotaReservation(ServerContext &ctx, qint64 holderId);
    ~QuotaReservation();
    QuotaReservation(const QuotaReservation &) = delete;
    QuotaReservation &operator=(const QuotaReservation &) = delete;

    // Makes the reservation at least `total` bytes; false (unchanged) when that does not fit.
    bool ensure(qint64 total);
    // The same without growing by more than asked: for a body whose length is declared, which is
    // reserved whole before it is read, so that writers racing for the last room never each hold
    // a part of it that none of them can finish with.
    bool ensureExactly(qint64 total);
    void release();
    // Gives back `amount` bytes (as much as is held at most), e.g. for files just recorded.
    void shrink(qint64 amount);
    qint64 bytes() const { return m_bytes; }
    qint64 holderId() const { return m_holder; }

    // Marks this as a member's write into a team, so that removing the member ends it.
    void belongsToTeamWrite(qint64 teamId, qint64 memberId);
    // True once the write was ended from outside (Quota::endTeamWrites); it cannot grow again.
    bool revoked() const { return m_revoked; }

    // Reservations grow in steps of this much (or what is needed, if that is less), so that a
    // long write checks the quota once per step, not once per network read.
    static constexpr qint64 GrowStep = 4 * 1024 * 1024;

private:
    friend class Quota;
    bool grow(qint64 total, bool exactly);
    bool take(qint64 extra);
    void revoke();

    ServerContext &m_ctx;
    qint64 m_holder;
    std::atomic<qint64> m_bytes{0};
    std::atomic<bool> m_revoked{false};
    std::pair<qint64, qint64> m_teamWrite{0, 0};
    qint64 m_rowId = 0; // its row in quota_reservations, 0 while it holds nothing
};

} // namespace tvr::server
