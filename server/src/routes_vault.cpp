// The vault: a second password, an unlock token that lapses after 15 idle minutes, and files
// encrypted at rest with a key that exists only while the vault is unlocked.
#include "accountstore.h"
#include "areas.h"
#include "auth.h"
#include "envelope.h"
#include "quota.h"
#include "servercontext.h"
#include "vaultdecryptor.h"
#include "vaultencryptor.h"
#include "vaultsessions.h"
#include "vaultstore.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <httplib.h>
#include <memory>

namespace tvr::server {

namespace {

constexpr int MinPasswordLength = 6;
constexpr int MaxPasswordLength = 128;
constexpr int MaxFileNameLength = 255;

const QString LockedMessage = QStringLiteral("保险箱已锁定，请先解锁");

QString vaultToken(const httplib::Request &req)
{
    return QString::fromStdString(req.get_header_value("X-Vault-Token")).trimmed();
}

// The file name to record for an uploaded part: its last path component, without control
// characters, at most MaxFileNameLength characters.
QString cleanFileName(const std::string &sent)
{
    QString name = QString::fromStdString(sent);
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    name = name.section(QLatin1Char('/'), -1).trimmed();
    name.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        name = QStringLiteral("未命名文件");
    return name.left(MaxFileNameLength);
}

QString contentDisposition(const QString &name)
{
    // An ASCII fallback for old clients, the real name in RFC 5987 form.
    QString ascii;
    for (QChar c : name)
        ascii.append(c.unicode() >= 0x20 && c.unicode() < 0x7f && c != QLatin1Char('"') ? c : QLatin1Char('_'));
    return QStringLiteral("attachment; filename=\"%1\"; filename*=UTF-8''%2")
        .arg(ascii, QString::fromLatin1(QUrl::toPercentEncoding(name)));
}

class VaultRoutes final : public std::enable_shared_from_this<VaultRoutes>
{
public:
    explicit VaultRoutes(ServerContext &ctx)
        : m_ctx(ctx)
    {}

    void registerOn(httplib::Server &server);

private:
    // The key of the caller's unlocked vault; otherwise answers 403 and returns nothing.
    std::optional<QByteArray> unlockedKey(const httplib::Request &req, httplib::Response &res, const AuthUser &user);

    void status(const httplib::Request &req, httplib::Response &res, const AuthUser &user);
    void setup(const httplib::Request &req, httplib::Response &res, const AuthUser &user);
    void unlock(const httplib::Request &req, httplib::Response &res, const AuthUser &user);
    void lock(const httplib::Request &req, httplib::Response &res, const AuthUser &user);
    void list(const httplib::Request &req, httplib::Response &res, const AuthUser &user);
    void upload(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader,
                const AuthUser &user);
    void download(const httplib::Request &req, httplib::Response &res, const AuthUser &user);
    void remove(const httplib::Request &req, httplib::Response &res, const AuthUser &user);
    void reset(const httplib::Request &req, httplib::Response &res, const AuthUser &user);

    ServerContext &m_ctx;
    VaultSessions m_sessions;
};

void VaultRoutes::registerOn(httplib::Server &server)
{
    using namespace std::placeholders;
    // Every handler shares ownership: the unlocked vaults live exactly as long as the routes.
    const auto self = shared_from_this();
    server.Get("/api/vault/status", withUser(m_ctx, std::bind(&VaultRoutes::status, self, _1, _2, _3)));
    server.Post("/api/vault/setup", withUser(m_ctx, std::bind(&VaultRoutes::setup, self, _1, _2, _3)));
    server.Post("/api/vault/unlock", withUser(m_ctx, std::bind(&VaultRoutes::unlock, self, _1, _2, _3)));
    server.Post("/api/vault/lock", withUser(m_ctx, std::bind(&VaultRoutes::lock, self, _1, _2, _3)));
    server.Post("/api/vault/reset", withUser(m_ctx, std::bind(&VaultRoutes::reset, self, _1, _2, _3)));
    server.Get("/api/vault/files", withUser(m_ctx, std::bind(&VaultRoutes::list, self, _1, _2, _3)));
    server.Post("/api/vault/upload",
                withUser(m_ctx, UserReaderHandler(std::bind(&VaultRoutes::upload, self, _1, _2, _3, _4))));
    server.Get("/api/vault/files/([^/]+)/download",
               withUser(m_ctx, std::bind(&VaultRoutes::download, self, _1, _2, _3)));
    server.Delete("/api/vault/files/([^/]+)", withUser(m_ctx, std::bind(&VaultRoutes::remove, self, _1, _2, _3)));
}

std::optional<QByteArray> VaultRoutes::unlockedKey(const httplib::Request &req, httplib::Response &res,
                                                   const AuthUser &user)
{
    auto key = m_sessions.touch(vaultToken(req), user.id, m_ctx.clock.nowSecs());
    if (!key)
        fail(res, 403, LockedMessage, QStringLiteral("VAULT_LOCKED"));
    return key;
}

void VaultRoutes::status(const httplib::Request &req, httplib::Response &res, const AuthUser &user)
{
    const bool created = VaultStore::record(m_ctx, user.id).has_value();
    const bool unlocked = created && m_sessions.touch(vaultToken(req), user.id, m_ctx.clock.nowSecs()).has_value();
    ok(res, QJsonObject{{QStringLiteral("created"), created},
                        {QStringLiteral("unlocked"), unlocked},
                        {QStringLiteral("idle_timeout"), VaultSessions::IdleSecs}});
}

void VaultRoutes::setup(const httplib::Request &req, httplib::Response &res, const AuthUser &user)
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

void VaultRoutes::unlock(const httplib::Request &req, httplib::Response &res, const AuthUser &user)
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
    const QString token = m_sessions.open(user.id, *key, now);
    VaultKey::wipe(*key);
    if (token.isEmpty())
        return fail(res, 500, Msg::Internal);
    ok(res, QJsonObject{{QStringLiteral("token"), token}, {QStringLiteral("expires_in"), VaultSessions::IdleSecs}});
}

void VaultRoutes::lock(const httplib::Request &req, httplib::Response &res, const AuthUser &user)
{
    m_sessions.close(vaultToken(req), user.id);
    ok(res);
}

void VaultRoutes::list(const httplib::Request &req, httplib::Response &res, const AuthUser &user)
{
    if (unlockedKey(req, res, user))
        ok(res, VaultStore::list(m_ctx, user.id));
}

void VaultRoutes::upload(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader,
                         const AuthUser &user)
{
    // Refusals drop the body unread (or close the connection for a large one), so that the
    // client still reads the answer.
    if (!req.is_multipart_form_data()) {
        skipBody(req, res, reader);
        return fail(res, 400, QStringLiteral("请以表单上传文件"));
    }
    auto key = unlockedKey(req, res, user);
    if (!key) {
        skipBody(req, res, reader);
        return;
    }
    // A first check on the declared body size, before anything is read or written.
    const qint64 declared = qint64(std::strtoll(req.get_header_value("Content-Length").c_str(), nullptr, 10));
    if (declared > 0 && !Quota::fits(m_ctx, user.id, declared - 64 * 1024)) {
        skipBody(req, res, reader);
        return fail(res, 507, Msg::QuotaExceeded);
    }

    std::unique_ptr<VaultEncryptor> encryptor;
    QString name;
    const QString storedName = VaultStore::newStoredName();
    const QString path = VaultStore::pathFor(m_ctx, user.id, storedName);
    bool inFile = false;
    bool failed = false;
    const bool complete = reader(
        [&](const httplib::MultipartFormData &part) {
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
            if (inFile && !encryptor->write(data, qint64(length)))
                failed = true;
            return !failed;
        });
    VaultKey::wipe(*key);
    if (failed || !complete) {
        res.set_header("Connection", "close"); // the rest of the body was never read
        return fail(res, 500, QStringLiteral("保存失败，请稍后重试"));
    }
    if (!encryptor)
        return fail(res, 400, QStringLiteral("缺少文件"));
    const qint64 size = encryptor->plainBytes();
    if (!Quota::fits(m_ctx, user.id, size))
        return fail(res, 507, Msg::QuotaExceeded); // the unfinished file is discarded with the encryptor
    if (!encryptor->finish())
        return fail(res, 500, QStringLiteral("保存失败，请稍后重试"));
    const auto file = VaultStore::addFile(m_ctx, user.id, name, size, storedName);
    if (!file)
        return fail(res, 500, Msg::Internal);
    ok(res, QJsonObject{{QStringLiteral("id"), file->id},
                        {QStringLiteral("name"), file->name},
                        {QStringLiteral("size"), file->size},
                        {QStringLiteral("created_at"), file->createdAt}});
}

void VaultRoutes::download(const httplib::Request &req, httplib::Response &res, const AuthUser &user)
{
    auto key = unlockedKey(req, res, user);
    if (!key)
        return;
    const auto id = parseId(QString::fromStdString(req.matches[1]));
    const auto file = id ? VaultStore::find(m_ctx, user.id, *id) : std::nullopt;
    if (!file)
        return fail(res, 404, Msg::NotFound);
    auto decryptor = std::make_shared<VaultDecryptor>(*key);
    VaultKey::wipe(*key);
    if (!decryptor->open(VaultStore::pathFor(m_ctx, user.id, file->storedName)))
        return fail(res, 500, QStringLiteral("文件已损坏，无法解密"));
    // Whole files only: the content is decrypted block by block from the start.
    const_cast<httplib::Request &>(req).ranges.clear();
    res.status = 200;
    res.set_header("Content-Disposition", contentDisposition(file->name).toStdString());
    const qint64 total = decryptor->plainBytes();
    if (total == 0)
        return res.set_content(std::string(), "application/octet-stream");
    res.set_content_provider(size_t(total), "application/octet-stream",
                             [decryptor](size_t, size_t, httplib::DataSink &sink) {
                                 QByteArray block;
                                 // A block that fails to authenticate ends the transfer short.
                                 if (!decryptor->readBlock(&block))
                                     return false;
                                 return block.isEmpty() || sink.write(block.constData(), size_t(block.size()));
                             });
}

void VaultRoutes::remove(const httplib::Request &req, httplib::Response &res, const AuthUser &user)
{
    if (!unlockedKey(req, res, user))
        return;
    const auto id = parseId(QString::fromStdString(req.matches[1]));
    if (!id || !VaultStore::removeFile(m_ctx, user.id, *id))
        return fail(res, 404, Msg::NotFound);
    ok(res);
}

void VaultRoutes::reset(const httplib::Request &req, httplib::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const QString password = jsonString(*body, QStringLiteral("password"));
    if (password.isEmpty())
        return fail(res, 400, QStringLiteral("请输入登录密码"));
    const bool hasPassword =
        !m_ctx.db.scalar("SELECT password_hash FROM users WHERE id = ?1", {user.id}).toString().isEmpty();
    if (!hasPassword)
        return fail(res, 400, QStringLiteral("当前账号未设置登录密码，无法重置保险箱"));
    if (!AccountStore::verifyPassword(m_ctx, user.id, password))
        return fail(res, 403, QStringLiteral("登录密码错误"));
    if (!VaultStore::record(m_ctx, user.id))
        return fail(res, 404, QStringLiteral("保险箱尚未创建"));
    m_sessions.closeAll(user.id);
    if (!VaultStore::reset(m_ctx, user.id))
        return fail(res, 500, Msg::Internal);
    m_sessions.clearFailures(user.id);
    ok(res);
}

void registerVaultRoutes(httplib::Server &server, ServerContext &ctx)
{
    // Files left behind by an upload cut short by a crash.
    VaultStore::sweep(ctx);
    std::make_shared<VaultRoutes>(ctx)->registerOn(server);
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
    };
    area.registerRoutes = registerVaultRoutes;
    return area;
}

} // namespace tvr::server
