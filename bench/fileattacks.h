#pragma once

// Parts 10-15 of bench_server_attack: hostile archives and uploads against the file tree, each
// with a bystander's latency or the bytes the attacker got to keep:
//  10. 1,200 zip entries all named "a.txt": another user's GET /api/profile during the extract;
//  11. 5,000 empty entries, and 100 entries 3,000 folders deep: the same bystander;
//  12. a bystander's new folder before and after another account added TVR_ATTACK_FILES (default
//      20,000) empty files;
//  13. 16 tar archives gzipped twice that claim TVR_ATTACK_BOMB_MB (default 1024) MiB each, sent
//      at once by one account: the bystander, and how long each request held its worker;
//  14. two 1 MiB accounts opening 64 chunked uploads of 1 MiB each: bytes kept on disk;
//  15. a team member's upload declaring the owner's whole room: the owner's own upload before and
//      after the member is removed.
// Header-only: included by bench_server_attack.cpp alone.
#include "archivekit.h"
#include "rawhttp.h"
#include "referenceserver.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <algorithm>
#include <archive.h>
#include <archive_entry.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace fileattacks {

using Creds = ReferenceServer::Credentials;

// A tar of one entry of `bytes` zeros, gzipped twice: a few KiB that unpack to `bytes`.
inline QByteArray doublyGzippedBomb(qint64 bytes)
{
    QByteArray out(4 * 1024 * 1024, '\0');
    size_t used = 0;
    struct archive *writer = archive_write_new();
    archive_write_set_format_pax_restricted(writer);
    archive_write_add_filter_gzip(writer);
    archive_write_add_filter_gzip(writer);
    archive_write_open_memory(writer, out.data(), size_t(out.size()), &used);
    struct archive_entry *entry = archive_entry_new();
    archive_entry_set_pathname(entry, "zeros.bin");
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, bytes);
    archive_write_header(writer, entry);
    const QByteArray zeros(1024 * 1024, '\0');
    for (qint64 left = bytes; left > 0; left -= zeros.size())
        archive_write_data(writer, zeros.constData(), size_t(std::min<qint64>(left, zeros.size())));
    archive_entry_free(entry);
    archive_write_close(writer);
    archive_write_free(writer);
    out.truncate(qsizetype(used));
    return out;
}

inline QList<std::pair<QByteArray, QByteArray>> authHeaders(const Creds &as)
{
    return {{"X-User-Id", as.userId.toUtf8()}, {"X-Auth-Token", as.token.toUtf8()}};
}

// One request on a connection of its own; returns the status (0: none) and the time taken.
inline std::pair<int, qint64> timedRequest(const QString &base, const QByteArray &method, const QByteArray &path,
                                           const Creds &as, const QByteArray &body = {}, int timeoutMs = 180000)
{
    QElapsedTimer timer;
    timer.start();
    RawHttp raw(base);
    if (!raw.open())
        return {0, timer.elapsed()};
    auto headers = authHeaders(as);
    if (!body.isEmpty() || method != "GET") {
        headers.append(std::make_pair(QByteArray("Content-Type"), QByteArray("application/json")));
        headers.append(std::make_pair(QByteArray("Content-Length"), QByteArray::number(body.size())));
    }
    raw.send(raw.head(method, path, headers) + body);
    const RawHttp::Reply reply = raw.read(timeoutMs);
    return {reply.status, timer.elapsed()};
}

// Another user asking for its profile again and again (20 ms apart) until stopped.
class Bystander final
{
public:
    Bystander(const QString &base, const Creds &who)
        : m_thread([this, base, who] {
            while (!m_stop) {
                const auto [status, ms] = timedRequest(base, "GET", "/api/profile", who, {}, 180000);
                {
                    std::lock_guard lock(m_mutex);
                    m_ms.push_back(status == 200 ? ms : -1);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the probe's interval
            }
        })
    {}
    ~Bystander() { stop(); }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    QString summary()
    {
        std::lock_guard lock(m_mutex);
        std::vector<qint64> sorted = m_ms;
        std::sort(sorted.begin(), sorted.end());
        const qint64 failed = std::count(sorted.begin(), sorted.end(), -1);
        if (sorted.empty())
            return QStringLiteral("no probe");
        return QStringLiteral("%1 probes, median %2 ms, worst answered %3 ms, %4 without an answer in 180 s")
            .arg(sorted.size())
            .arg(sorted[sorted.size() / 2])
            .arg(sorted.back())
            .arg(failed);
    }

private:
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<qint64> m_ms;
    std::thread m_thread;
};

inline QString storeArchive(ReferenceServer &server, const Creds &as, const QByteArray &name, const QByteArray &bytes)
{
    const auto stored = server.multipart("/api/files/upload", {{"files", name, "application/octet-stream", bytes}}, as);
    return QString::number(qint64(stored.dataArray().first().toObject().value("id").toDouble()));
}

inline QByteArray extractBody(const QString &fileId)
{
    return QJsonDocument(QJsonObject{{"fileId", fileId}, {"targetId", 0}}).toJson(QJsonDocument::Compact);
}

// 10 and 11: one hostile extract with a bystander.
inline void extractWithBystander(ReferenceServer &server, const char *label, const std::vector<ArchiveEntry> &entries,
                                 int account)
{
    const Creds attacker =
        server.signIn(QStringLiteral("fa-attacker-%1").arg(account), QStringLiteral("1391000%1").arg(1000 + account));
    const Creds other =
        server.signIn(QStringLiteral("fa-other-%1").arg(account), QStringLiteral("1391100%1").arg(1000 + account));
    const QByteArray zip = archiveOf(entries);
    const QString id = storeArchive(server, attacker, "hostile.zip", zip);
    Bystander probe(server.baseUrl(), other);
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // a few quiet probes first
    const auto [status, ms] = timedRequest(server.baseUrl(), "POST", "/api/files/extract", attacker, extractBody(id));
    probe.stop();
    std::printf("   %s (%lld KiB zip): extract answered %d in %lld ms; bystander GET /api/profile: %s\n", label,
                static_cast<long long>(zip.size() / 1024), status, static_cast<long long>(ms),
                qPrintable(probe.summary()));
}

inline void sameNames(ReferenceServer &server)
{
    std::printf("10. extract of a zip whose 1,200 entries are all named a.txt:\n");
    std::vector<ArchiveEntry> entries(1200, ArchiveEntry{"a.txt", "x"});
    extractWithBystander(server, "1,200 x a.txt", entries, 10);
}

inline void emptyAndDeep(ReferenceServer &server)
{
    std::printf("11. extract of many empty entries, and of deep ones:\n");
    std::vector<ArchiveEntry> empty;
    for (int i = 0; i < 5000; ++i)
        empty.push_back({QByteArray("e") + QByteArray::number(i), {}});
    extractWithBystander(server, "5,000 empty entries", empty, 11);
    QByteArray deep;
    for (int i = 0; i < 3000; ++i)
        deep += "d/";
    std::vector<ArchiveEntry> deepEntries;
    for (int i = 0; i < 100; ++i)
        deepEntries.push_back({deep + "f" + QByteArray::number(i), "x"});
    extractWithBystander(server, "100 entries 3,000 folders deep", deepEntries, 12);
}

inline qint64 medianFolderCreation(ReferenceServer &server, const Creds &as, int round)
{
    std::vector<qint64> ms;
    for (int i = 0; i < 15; ++i) {
        const QByteArray body =
            QJsonDocument(QJsonObject{{"name", QStringLiteral("n%1-%2").arg(round).arg(i)}, {"parent_id", 0}})
                .toJson(QJsonDocument::Compact);
        ms.push_back(timedRequest(server.baseUrl(), "POST", "/api/folders", as, body).second);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

inline void folderAfterManyFiles(ReferenceServer &server)
{
    const int files =
        qEnvironmentVariableIntValue("TVR_ATTACK_FILES") > 0 ? qEnvironmentVariableIntValue("TVR_ATTACK_FILES") : 20000;
    std::printf("12. a bystander's new folder before and after another account added %d empty files:\n", files);
    const Creds other = server.signIn("fa-folders", "13912001000");
    const Creds filler = server.signIn("fa-filler", "13912001001");
    const qint64 before = medianFolderCreation(server, other, 0);
    std::vector<ArchiveEntry> empty;
    for (int i = 0; i < files; ++i)
        empty.push_back({QByteArray("z") + QByteArray::number(i), {}});
    const QString id = storeArchive(server, filler, "many.zip", archiveOf(empty));
    const auto [status, ms] = timedRequest(server.baseUrl(), "POST", "/api/files/extract", filler, extractBody(id));
    const qint64 after = medianFolderCreation(server, other, 1);
    std::printf("   filler extract answered %d in %lld ms; median POST /api/folders: %lld ms before, %lld ms after\n",
                status, static_cast<long long>(ms), static_cast<long long>(before), static_cast<long long>(after));
}

inline void parallelBombs(ReferenceServer &server)
{
    const qint64 mib = qEnvironmentVariableIntValue("TVR_ATTACK_BOMB_MB") > 0
                           ? qEnvironmentVariableIntValue("TVR_ATTACK_BOMB_MB")
                           : 1024;
    constexpr int Bombs = 16;
    const QByteArray bomb = doublyGzippedBomb(mib * 1024 * 1024);
    std::printf("13. %d extracts at once of a %lld B tar gzipped twice that claims %lld MiB:\n", Bombs,
                static_cast<long long>(bomb.size()), static_cast<long long>(mib));
    const Creds attacker = server.signIn("fa-bomber", "13913001000");
    const Creds other = server.signIn("fa-bystander", "13913001001");
    std::vector<QString> ids;
    for (int i = 0; i < Bombs; ++i)
        ids.push_back(storeArchive(server, attacker, QByteArray("b") + QByteArray::number(i) + ".tar.gz", bomb));
    Bystander probe(server.baseUrl(), other);
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // a few quiet probes first
    std::vector<std::pair<int, qint64>> results(Bombs);
    std::vector<std::thread> senders;
    for (int i = 0; i < Bombs; ++i) {
        senders.emplace_back([&, i] {
            results[size_t(i)] =
                timedRequest(server.baseUrl(), "POST", "/api/files/extract", attacker, extractBody(ids[size_t(i)]));
        });
    }
    for (auto &sender : senders)
        sender.join();
    probe.stop();
    std::printf("   answers (status/ms):");
    for (const auto &[status, ms] : results)
        std::printf(" %d/%lld", status, static_cast<long long>(ms));
    std::printf("\n   bystander GET /api/profile meanwhile: %s\n", qPrintable(probe.summary()));
}

inline QString md5Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

inline void openSessions(ReferenceServer &server, qint64 quota)
{
    std::printf("14. two accounts of %lld KiB each open 64 chunked uploads of their quota and send them whole:\n",
                static_cast<long long>(quota / 1024));
    qint64 kept = 0;
    int opened = 0;
    for (int a = 0; a < 2; ++a) {
        const Creds user =
            server.signIn(QStringLiteral("fa-sessions-%1").arg(a), QStringLiteral("1391400100%1").arg(a));
        for (int i = 0; i < 64; ++i) {
            QByteArray content(int(quota), char('a' + a));
            content.replace(0, 8, QByteArray::number(i).rightJustified(8, '0'));
            const auto init = server.postJson(
                "/api/upload/init",
                {{"name", QStringLiteral("s%1.bin").arg(i)}, {"size", quota}, {"md5", md5Of(content)}}, user);
            const QString id = init.dataObject().value("uploadId").toString();
            if (id.isEmpty())
                continue;
            ++opened;
            if (server
                    .request("PUT", QStringLiteral("/api/upload/chunk/%1/0").arg(id), user, content,
                             "application/octet-stream")
                    .success())
                kept += content.size();
        }
    }
    std::printf("   %d sessions opened, %.1f MiB of chunks kept on disk (quota total %.1f MiB)\n", opened,
                kept / 1048576.0, 2 * quota / 1048576.0);
}

inline void memberBlocksOwner(ReferenceServer &server, qint64 quota)
{
    std::printf("15. a team member's upload declaring the owner's whole room (%lld KiB), sent slowly:\n",
                static_cast<long long>(quota / 1024));
    const Creds owner = server.signIn("fa-owner", "13915001000");
    const Creds member = server.signIn("fa-member", "13915001001");
    const qint64 team =
        qint64(server.postJson("/api/teams", {{"name", "fa-team"}}, owner).dataObject().value("id").toDouble());
    server.postJson(QStringLiteral("/api/teams/%1/members").arg(team), {{"keyword", "fa-member"}}, owner);
    const QByteArray boundary = "fa-boundary";
    RawHttp slow(server.baseUrl());
    slow.open();
    auto headers = authHeaders(member);
    headers.append(std::make_pair(QByteArray("Content-Type"), "multipart/form-data; boundary=" + boundary));
    headers.append(std::make_pair(QByteArray("Content-Length"), QByteArray::number(quota)));
    slow.send(slow.head("POST", QStringLiteral("/api/teams/%1/files/upload").arg(team).toUtf8(), headers));
    const QByteArray start = "--" + boundary +
                             "\r\nContent-Disposition: form-data; name=\"files\"; filename=\"m.bin\"\r\n"
                             "Content-Type: application/octet-stream\r\n\r\n" +
                             QByteArray(16 * 1024, 'm');
    slow.send(start);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the member's upload is under way
    const auto ownUpload = [&](const QByteArray &name) {
        return server
            .multipart("/api/files/upload", {{"files", name, "application/octet-stream", QByteArray(100 * 1024, 'o')}},
                       owner)
            .status;
    };
    const int whileOpen = ownUpload("o1.bin");
    const int removed =
        server.del(QStringLiteral("/api/teams/%1/members/%2").arg(team).arg(member.userId), owner).status;
    // The rest of the announced body: the server answers the member once it has dropped it.
    slow.send(QByteArray(int(quota - start.size()), 'm'));
    const int afterRemoval = ownUpload("o2.bin");
    const RawHttp::Reply memberReply = slow.read(10000);
    std::printf("   owner's 100 KiB upload while the member's is open: %d; member removed: %d; owner's upload "
                "after: %d; member's upload answered: %d\n",
                whileOpen, removed, afterRemoval, memberReply.status);
}

// Runs the parts asked for (0: all of 10-15).
inline int run(int part, qint64 smallQuota)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // figures survive a time-out of a long part
    const auto start = [](const QStringList &args) {
        ReferenceServer::Options options;
        options.extraArgs = args;
        auto server = std::make_unique<ReferenceServer>(options);
        if (!server->start()) {
            std::fprintf(stderr, "cannot start the server: %s\n", qPrintable(server->errorString()));
            return std::unique_ptr<ReferenceServer>();
        }
        return server;
    };
    const auto wants = [part](int n) { return part == 0 || part == n; };
    if (wants(10) || wants(11) || wants(12) || wants(13)) {
        auto server = start({});
        if (!server)
            return 1;
        if (wants(10))
            sameNames(*server);
        if (wants(11))
            emptyAndDeep(*server);
        if (wants(12))
            folderAfterManyFiles(*server);
        if (wants(13))
            parallelBombs(*server);
    }
    if (wants(14) || wants(15)) {
        auto server = start({"--quota", QString::number(smallQuota)});
        if (!server)
            return 1;
        if (wants(14))
            openSessions(*server, smallQuota);
        if (wants(15))
            memberBlocksOwner(*server, smallQuota);
    }
    return 0;
}

} // namespace fileattacks
