// The vault: a second password, an unlock token of one login session that lapses after 15 idle
// minutes or when that session ends, files encrypted at rest with a key that exists only while
// the vault is unlocked, and a reset confirmed by an SMS code or the login password.
#include "accounts/accountstore.h"
#include "accounts/smscodes.h"
#include "core/names.h"
#include "core/servercontext.h"
#include "files/filetree.h"
#include "files/quota.h"
#include "http/auth.h"
#include "http/envelope.h"
#include "http/filedownload.h"
#include "storage/areas.h"
#include "vault/vaultdecryptor.h"
#include "vault/vaultencryptor.h"
#include "vault/vaultsessions.h"
#include "vault/vaultstore.h"

#include <QFile>
#include <QFileInfo>
#include <cstring>
#include <memory>

namespace tvr::server {

namespace {

constexpr int MinPasswordLength = 6;
constexpr int MaxPasswordLength = 128;
constexpr int MaxFileNameLength = 255;
// Multipart framing around the file, allowed beyond the room left.
constexpr qint64 FormOverhead = 64 * 1024;

const QString LockedMessage = QStringLiteral("保险箱已锁定，请先解锁");

QString vaultToken(const http::Request &req)
{
    return QString::fromStdString(req.header("X-Vault-Token")).trimmed();
}

// The login session of a request, named as the sessions table names it.
QString loginSession(const http::Request &req)
{
    return AccountStore::sha256Hex(QByteArray::fromStdString(req.header("X-Auth-Token")));
}

// The file name to record for an uploaded part: its last path component, without control
// characters, at most MaxFileNameLength characters.
QString cleanFileName(const std::string &sent)
{
    QString name = QString::fromStdString(sent);
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    name = Names::normalized(name.section(QLatin1Char('/'), -1));
    name.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        name = QStringLiteral("未命名文件");
    return name.left(MaxFileNameLength);
}

class VaultRoutes final : public std::enable_shared_from_this<VaultRoutes>
{
public:
    explicit VaultRoutes(ServerContext &ctx)
        : m_ctx(ctx)
    {}

    void registerOn(http::Router &router);

private:
    // The key of the caller's unlocked vault; otherwise answers 403 and returns nothing.
    std::optional<QByteArray> unlockedKey(const http::Request &req, http::Response &res, const AuthUser &user);

    void status(const http::Request &req, http::Response &res, const AuthUser &user);
    void setup(const http::Request &req, http::Response &res, const AuthUser &user);
    void unlock(const http::Request &req, http::Response &res, const AuthUser &user);
    void lock(const http::Request &req, http::Response &res, const AuthUser &user);
    void list(const http::Request &req, http::Response &res, const AuthUser &user);
    void upload(const http::Request &req, http::Response &res, http::BodyReader &reader, const AuthUser &user);
    void download(const http::Request &req, http::Response &res, const AuthUser &user);
    void remove(const http::Request &req, http::Response &res, const AuthUser &user);
    void reset(const http::Request &req, http::Response &res, const AuthUser &user);
    // Whether the reset is confirmed, by an SMS code or the login password; answers otherwise.
    bool resetConfirmed(const QJsonObject &body, const http::Request &req, http::Response &res, const AuthUser &user);

    ServerContext &m_ctx;
    VaultSessions m_sessions{m_ctx.db};
};

void VaultRoutes::registerOn(http::Router &router)
{
    using namespace std::placeholders;
    // Every handler shares ownership: the unlocked vaults live exactly as long as the routes.
    const auto self = shared_from_this();
    // Signing out (or a lapsed login session) locks what that session unlocked.
    m_ctx.sessionEvents.onEnded(
        [self](qint64 userId, const QString &session) { self->m_sessions.closeSession(userId, session); });
    router.get("/api/vault/status", withUser(m_ctx, std::bind(&VaultRoutes::status, self, _1, _2, _3)));
    router.post("/api/vault/setup", withUser(m_ctx, std::bind(&VaultRoutes::setup, self, _1, _2, _3)));
    router.post("/api/vault/unlock", withUser(m_ctx, std::bind(&VaultRoutes::unlock, self, _1, _2, _3)));
    router.post("/api/vault/lock", withUser(m_ctx, std::bind(&VaultRoutes::lock, self, _1, _2, _3)));
    router.post("/api/vault/reset", withUser(m_ctx, std::bind(&VaultRoutes::reset, self, _1, _2, _3)));
    router.get("/api/vault/files", withUser(m_ctx, std::bind(&VaultRoutes::list, self, _1, _2, _3)));
    router.postStream("/api/vault/upload",
                      withUser(m_ctx, UserStreamHandler(std::bind(&VaultRoutes::upload, self, _1, _2, _3, _4))),
                      Quota::MaxFileBytes);
    router.get("/api/vault/files/([^/]+)/download",
               withUser(m_ctx, std::bind(&VaultRoutes::download, self, _1, _2, _3)));
    router.del("/api/vault/files/([^/]+)", withUser(m_ctx, std::bind(&VaultRoutes::remove, self, _1, _2, _3)));
}

std::optional<QByteArray> VaultRoutes::unlockedKey(const http::Request &req, http::Response &res, const AuthUser &user)
{
    auto key = m_sessions.touch(vaultToken(req), user.id, loginSession(req), m_ctx.clock.nowSecs());
    if (!key)
        fail(res, 403, LockedMessage, QStringLiteral("VAULT_LOCKED"));
    return key;
}

void VaultRoutes::status(const http::Request &req, http::Response &res, const AuthUser &user)
{
    const bool created = VaultStore::record(m_ctx, user.id).has_value();
    auto key =
        created ? m_sessions.touch(vaultToken(req), user.id, loginSession(req), m_ctx.clock.nowSecs()) : std::nullopt;
    const bool unlocked = key.has_value();
    if (key)
        VaultKey::wipe(*key);
    ok(res, QJsonObject{{QStringLiteral("created"), created},
                        {QStringLiteral("unlocked"), unlocked},
                        {QStringLiteral("idle_timeout"), VaultSessions::IdleSecs},
                        {QStringLiteral("hasLoginPassword"), AccountStore::hasPassword(m_ctx, user.id)}});
}

void VaultRoutes::setup(const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const QString password = jsonString(*body, QStringLiteral("password"));
    if (password.size() < MinPasswordLength)
        return fail(res, 400, QStringLiteral("保险箱密码至少 6 位"));
    if (password.size() > MaxPasswordLength)
        return fail(res, 400, QStringLiteral("保险箱密码不能超过 128 位"));
    if (VaultStore::record(m_ctx, user.id))
        return fail(res, 409, QStringLiteral("保险箱已创建"));
    auto created = VaultKey::create(password.toUtf8());
    if (!created)
        return fail(res, 500, Msg::Internal);
    VaultKey::wipe(created->key); // the key is derived again on unlock; nothing keeps it now
    if (!VaultStore::create(m_ctx, user.id, created->record))
        return fail(res, 409, QStringLiteral("保险箱已创建"));
    ok(res, QJsonObject{{QStringLiteral("created"), true}});
}

void VaultRoutes::unlock(const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const auto record = VaultStore::record(m_ctx, user.id);
    if (!record)
        return fail(res, 404, QStringLiteral("保险箱尚未创建"));
    const QString password = jsonString(*body, QStringLiteral("password"));
    if (password.isEmpty())
        return fail(res, 400, QStringLiteral("请输入保险箱密码"));
    const qint64 now = m_ctx.clock.nowSecs();
    if (const qint64 wait = m_sessions.retryAfter(user.id, now); wait > 0)
        return fail(res, 429, QStringLiteral("密码错误次数过多，请 %1 分钟后再试").arg((wait + 59) / 60));
    auto key = VaultKey::unlock(*record, password.toUtf8());
    if (!key) {
        m_sessions.recordFailure(user.id, now);
        return fail(res, 403, QStringLiteral("保险箱密码错误"));
    }
    m_sessions.clearFailures(user.id);
    VaultStore::sealClearNames(m_ctx, user.id, *key);
    const QString token = m_sessions.open(user.id, loginSession(req), *key, now);
    VaultKey::wipe(*key);
    if (token.isEmpty())
        return fail(res, 500, Msg::Internal);
    ok(res, QJsonObject{{QStringLiteral("token"), token}, {QStringLiteral("expires_in"), VaultSessions::IdleSecs}});
}

void VaultRoutes::lock(const http::Request &req, http::Response &res, const AuthUser &user)
{
    m_sessions.close(vaultToken(req), user.id);
    ok(res);
}

void VaultRoutes::list(const http::Request &req, http::Response &res, const AuthUser &user)
{
    auto key = unlockedKey(req, res, user);
    if (!key)
        return;
    ok(res, VaultStore::list(m_ctx, user.id, *key));
    VaultKey::wipe(*key);
}

void VaultRoutes::upload(const http::Request &req, http::Response &res, http::BodyReader &reader, const AuthUser &user)
{
    // Refusals leave the body unread; the transport disposes of it.
    if (!req.isMultipart())
        return fail(res, 400, QStringLiteral("请以表单上传文件"));
    auto key = unlockedKey(req, res, user);
    if (!key)
        return;
    // A first check on the declared body size, before anything is read or written.
    const auto declared = req.contentLength();
    if (declared && !Quota::fits(m_ctx, user.id, qMax<qint64>(0, *declared - FormOverhead))) {
        VaultKey::wipe(*key);
        return fail(res, 507, Msg::QuotaExceeded);
    }

    // The bytes are taken into a reservation as they arrive, whatever the body's framing: a
    // chunked body stops at the room left like any other.
    QuotaReservation room(m_ctx, user.id);
    if (declared && !room.ensureExactly(*declared)) {
        VaultKey::wipe(*key);
        return fail(res, 507, Msg::QuotaExceeded);
    }
    std::unique_ptr<VaultEncryptor> encryptor;
    QString name;
    const QString storedName = VaultStore::newStoredName();
    const QString path = VaultStore::pathFor(m_ctx, user.id, storedName);
    bool inFile = false;
    bool failed = false;
    bool overQuota = false;
    const bool complete = reader.readMultipart(
        req,
        [&](const http::Part &part) {
            // Only the first part named "file" is stored; other parts are read and dropped.
            inFile = part.name == "file" && !encryptor;
            if (inFile) {
                name = cleanFileName(part.filename);
                encryptor = std::make_unique<VaultEncryptor>(*key);
                if (!encryptor->open(path))
                    failed = true;
            }
            return !failed;
        },
        [&](const char *data, size_t length) {
            if (!inFile)
                return true;
            if (!room.ensure(encryptor->plainBytes() + qint64(length))) {
                overQuota = true;
                return false;
            }
            if (!encryptor->write(data, qint64(length)))
                failed = true;
            return !failed;
        });
    struct Wipe
    {
        QByteArray &key;
        ~Wipe() { VaultKey::wipe(key); }
    } wipeKey{*key};
    if (overQuota)
        return fail(res, 507, Msg::QuotaExceeded); // the unfinished file is discarded with the encryptor
    if (failed)
        return fail(res, 500, QStringLiteral("保存失败，请稍后重试"));
    if (!complete)
        return fail(res, 400, QStringLiteral("上传内容不完整或格式错误"));
    if (!encryptor)
        return fail(res, 400, QStringLiteral("缺少文件"));
    if (!FileTree::validName(name))
        return fail(res, 400, QStringLiteral("文件名无效"));
    const qint64 size = encryptor->plainBytes();
    if (!encryptor->finish())
        return fail(res, 500, QStringLiteral("保存失败，请稍后重试"));
    int status = 500;
    const auto file = VaultStore::addFile(m_ctx, user.id, name, size, storedName, *key, room, &status);
    if (!file)
        return fail(res, status, status == 507 ? Msg::QuotaExceeded : Msg::Internal);
    ok(res, QJsonObject{{QStringLiteral("id"), file->id},
                        {QStringLiteral("name"), file->name},
                        {QStringLiteral("size"), file->size},
                        {QStringLiteral("created_at"), file->createdAt}});
}

void VaultRoutes::download(const http::Request &req, http::Response &res, const AuthUser &user)
{
    auto key = unlockedKey(req, res, user);
    if (!key)
        return;
    const auto id = parseId(QString::fromStdString(req.matches[1]));
    const auto file = id ? VaultStore::find(m_ctx, user.id, *id, *key) : std::nullopt;
    if (!file) {
        VaultKey::wipe(*key);
        return fail(res, 404, Msg::NotFound);
    }
    auto decryptor = std::make_shared<VaultDecryptor>(*key);
    VaultKey::wipe(*key);
    if (!decryptor->open(VaultStore::pathFor(m_ctx, user.id, file->storedName)))
        return fail(res, 500, QStringLiteral("文件已损坏，无法解密"));
    // Whole files only: the content is decrypted block by block from the start.
    res.status = 200;
    res.setHeader("Content-Disposition", FileDownload::contentDisposition(file->name).toStdString());
    const qint64 total = decryptor->plainBytes();
    auto pending = std::make_shared<QByteArray>();
    auto taken = std::make_shared<qsizetype>(0);
    res.setProducer(total, "application/octet-stream", [decryptor, pending, taken](quint64, char *buffer, size_t max) {
        while (*taken == pending->size()) {
            // A block that fails to authenticate ends the transfer short.
            if (decryptor->atEnd() || !decryptor->readBlock(pending.get()))
                return qint64(-1);
            *taken = 0;
        }
        const qsizetype n = qMin(qsizetype(max), pending->size() - *taken);
        std::memcpy(buffer, pending->constData() + *taken, size_t(n));
        *taken += n;
        return qint64(n);
    });
}

void VaultRoutes::remove(const http::Request &req, http::Response &res, const AuthUser &user)
{
    if (!unlockedKey(req, res, user))
        return;
    const auto id = parseId(QString::fromStdString(req.matches[1]));
    if (!id || !VaultStore::removeFile(m_ctx, user.id, *id))
        return fail(res, 404, Msg::NotFound);
    ok(res);
}

void VaultRoutes::reset(const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    if (!VaultStore::record(m_ctx, user.id))
        return fail(res, 404, QStringLiteral("保险箱尚未创建"));
    if (!resetConfirmed(*body, req, res, user))
        return;
    m_sessions.closeAll(user.id);
    if (!VaultStore::reset(m_ctx, user.id))
        return fail(res, 500, Msg::Internal);
    m_sessions.clearFailures(user.id);
    ok(res);
}

bool VaultRoutes::resetConfirmed(const QJsonObject &body, const http::Request &req, http::Response &res,
                                 const AuthUser &user)
{
    const qint64 now = m_ctx.clock.nowSecs();
    const QString code = jsonString(body, QStringLiteral("code")).trimmed();
    if (!code.isEmpty()) {
        // A code sent to the account's own phone, throttled like signing in.
        const QString address = QString::fromStdString(req.remoteAddress);
        if (!SmsCodes::mayTry(m_ctx, address)) {
            fail(res, 429, QStringLiteral("操作过于频繁，请稍后再试"));
            return false;
        }
        const QString phone = AccountStore::phone(m_ctx, user.id);
        const SmsCodes::Check check =
            phone.isEmpty() ? SmsCodes::Check::Missing
                            : SmsCodes::consume(m_ctx, phone, address, code, {QStringLiteral("vault-reset")});
        switch (check) {
        case SmsCodes::Check::Ok:
            return true;
        case SmsCodes::Check::Failed:
            fail(res, 500, Msg::Internal);
            return false;
        case SmsCodes::Check::Missing:
            fail(res, 400, QStringLiteral("请先获取验证码"));
            break;
        case SmsCodes::Check::Wrong:
            fail(res, 403, QStringLiteral("验证码错误"));
            break;
        case SmsCodes::Check::TooManyWrong:
            fail(res, 403, QStringLiteral("验证码错误次数过多，请重新获取"));
            break;
        case SmsCodes::Check::Expired:
        case SmsCodes::Check::Used:
            fail(res, 400, QStringLiteral("验证码已失效，请重新获取"));
            break;
        }
        SmsCodes::recordRefused(m_ctx, address);
        return false;
    }

    const QString password = jsonString(body, QStringLiteral("password"));
    const bool hasPassword = AccountStore::hasPassword(m_ctx, user.id);
    if (password.isEmpty()) {
        fail(res, 400, hasPassword ? QStringLiteral("请输入登录密码") : QStringLiteral("请输入短信验证码"));
        return false;
    }
    if (!hasPassword) {
        fail(res, 400, QStringLiteral("当前账号未设置登录密码，请使用短信验证码重置保险箱"));
        return false;
    }
    // Guesses of the login password are limited like guesses of the vault password.
    const QString guesses = QStringLiteral("vault-reset:%1").arg(user.id);
    const Throttle::Rule rule{VaultSessions::MaxFailures, VaultSessions::FailureWindowSecs};
    if (const qint64 wait = m_ctx.throttle.retryAfter(guesses, rule, now); wait > 0) {
        fail(res, 429, QStringLiteral("密码错误次数过多，请 %1 分钟后再试").arg((wait + 59) / 60));
        return false;
    }
    if (!AccountStore::verifyPassword(m_ctx, user.id, password)) {
        m_ctx.throttle.record(guesses, now);
        fail(res, 403, QStringLiteral("登录密码错误"));
        return false;
    }
    m_ctx.throttle.clear(guesses);
    return true;
}

void registerVaultRoutes(http::Router &router, ServerContext &ctx)
{
    // Files left behind by an upload cut short by a crash.
    VaultStore::sweep(ctx);
    std::make_shared<VaultRoutes>(ctx)->registerOn(router);
}

} // namespace

Area vaultArea()
{
    Area area{"vault", {}};
    area.migrations = {
        {1, "CREATE TABLE vaults(user_id INTEGER PRIMARY KEY REFERENCES users(id) ON DELETE CASCADE, "
            "  key_record TEXT NOT NULL, created_at TEXT NOT NULL);"
            "CREATE TABLE vault_files(id INTEGER PRIMARY KEY AUTOINCREMENT, "
            "  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE, "
            "  name TEXT NOT NULL, size INTEGER NOT NULL, stored_name TEXT NOT NULL UNIQUE, "
            "  created_at TEXT NOT NULL);"
            "CREATE INDEX vault_files_user ON vault_files(user_id);"},
        // File names are sealed under the vault key; names kept in clear are sealed at the next
        // unlock.
        {2, "ALTER TABLE vault_files ADD COLUMN name_sealed TEXT NOT NULL DEFAULT '';"},
        // Unlocked vaults, shared by the instances of a cluster: each key is wrapped under its
        // token, which only the client holds.
        {3, "CREATE TABLE vault_unlocks(token_hash TEXT PRIMARY KEY, user_id INTEGER NOT NULL, "
            "  session TEXT NOT NULL, wrapped_key BLOB NOT NULL, last_used INTEGER NOT NULL);"
            "CREATE INDEX vault_unlocks_user ON vault_unlocks(user_id);"
            "CREATE TABLE vault_failures(user_id INTEGER PRIMARY KEY, failures INTEGER NOT NULL, "
            "  first_at INTEGER NOT NULL);"},
    };
    area.registerRoutes = registerVaultRoutes;
    return area;
}

} // namespace tvr::server
