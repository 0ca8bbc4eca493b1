#include "vault/vaultsessions.h"

#include "storage/database.h"
#include "storage/transaction.h"
#include "vault/vaultkey.h"

#include <QCryptographicHash>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

namespace tvr::server {

namespace {

constexpr int NonceBytes = 12;
constexpr int TagBytes = 16;
constexpr char WrapSalt[] = "tolvar vault unlock v1";

// The wrapping key: HKDF-SHA-256 of the token. Unlike the row's name (a plain SHA-256 of the
// token) it cannot be computed from anything stored.
QByteArray wrappingKey(const QString &token)
{
    const QByteArray secret = token.toUtf8();
    QByteArray out(VaultKey::KeyBytes, Qt::Uninitialized);
    size_t length = size_t(out.size());
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    const bool ok = pctx && EVP_PKEY_derive_init(pctx) > 0 && EVP_PKEY_CTX_set_hkdf_md(pctx, EVP_sha256()) > 0 &&
                    EVP_PKEY_CTX_set1_hkdf_salt(pctx, reinterpret_cast<const unsigned char *>(WrapSalt),
                                                int(sizeof WrapSalt - 1)) > 0 &&
                    EVP_PKEY_CTX_set1_hkdf_key(pctx, reinterpret_cast<const unsigned char *>(secret.constData()),
                                               int(secret.size())) > 0 &&
                    EVP_PKEY_derive(pctx, reinterpret_cast<unsigned char *>(out.data()), &length) > 0 &&
                    length == size_t(out.size());
    EVP_PKEY_CTX_free(pctx);
    if (!ok)
        VaultKey::wipe(out);
    return ok ? out : QByteArray();
}

} // namespace

QString VaultSessions::tokenHash(const QString &token)
{
    return QString::fromLatin1(QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QByteArray VaultSessions::wrap(const QString &token, const QByteArray &key)
{
    QByteArray kek = wrappingKey(token);
    if (kek.isEmpty())
        return {};
    const QByteArray aad = tokenHash(token).toLatin1();
    QByteArray out(NonceBytes + key.size() + TagBytes, Qt::Uninitialized);
    auto *bytes = reinterpret_cast<unsigned char *>(out.data());
    int length = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const bool ok = ctx && RAND_bytes(bytes, NonceBytes) == 1 &&
                    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, NonceBytes, nullptr) == 1 &&
                    EVP_EncryptInit_ex(ctx, nullptr, nullptr, reinterpret_cast<const unsigned char *>(kek.constData()),
                                       bytes) == 1 &&
                    EVP_EncryptUpdate(ctx, nullptr, &length, reinterpret_cast<const unsigned char *>(aad.constData()),
                                      int(aad.size())) == 1 &&
                    EVP_EncryptUpdate(ctx, bytes + NonceBytes, &length,
                                      reinterpret_cast<const unsigned char *>(key.constData()), int(key.size())) == 1 &&
                    length == key.size() && EVP_EncryptFinal_ex(ctx, bytes + NonceBytes + length, &length) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, TagBytes, bytes + NonceBytes + key.size()) == 1;
    EVP_CIPHER_CTX_free(ctx);
    VaultKey::wipe(kek);
    return ok ? out : QByteArray();
}

std::optional<QByteArray> VaultSessions::unwrap(const QString &token, const QByteArray &wrapped)
{
    const int sealed = int(wrapped.size()) - NonceBytes - TagBytes;
    if (sealed <= 0)
        return std::nullopt;
    QByteArray kek = wrappingKey(token);
    if (kek.isEmpty())
        return std::nullopt;
    const QByteArray aad = tokenHash(token).toLatin1();
    const auto *bytes = reinterpret_cast<const unsigned char *>(wrapped.constData());
    QByteArray key(sealed, Qt::Uninitialized);
    QByteArray tag = wrapped.right(TagBytes);
    int length = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const bool ok = ctx && EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, NonceBytes, nullptr) == 1 &&
                    EVP_DecryptInit_ex(ctx, nullptr, nullptr, reinterpret_cast<const unsigned char *>(kek.constData()),
                                       bytes) == 1 &&
                    EVP_DecryptUpdate(ctx, nullptr, &length, reinterpret_cast<const unsigned char *>(aad.constData()),
                                      int(aad.size())) == 1 &&
                    EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char *>(key.data()), &length, bytes + NonceBytes,
                                      sealed) == 1 &&
                    length == sealed && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, TagBytes, tag.data()) == 1 &&
                    EVP_DecryptFinal_ex(ctx, reinterpret_cast<unsigned char *>(key.data()) + length, &length) == 1;
    EVP_CIPHER_CTX_free(ctx);
    VaultKey::wipe(kek);
    if (!ok) {
        VaultKey::wipe(key);
        return std::nullopt;
    }
    return key;
}

QString VaultSessions::open(qint64 userId, const QString &session, const QByteArray &key, qint64 nowSecs)
{
    QByteArray random(32, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(random.data()), random.size()) != 1)
        return QString();
    const QString token = QString::fromLatin1(random.toHex());
    const QByteArray wrapped = wrap(token, key);
    if (wrapped.isEmpty())
        return QString();
    Transaction tx(m_db);
    dropLapsed(nowSecs);
    m_db.exec("INSERT INTO vault_unlocks(token_hash, user_id, session, wrapped_key, last_used) "
              "VALUES(?1, ?2, ?3, ?4, ?5)",
              {tokenHash(token), userId, session, wrapped, nowSecs});
    return tx.commit() ? token : QString();
}

std::optional<QByteArray> VaultSessions::touch(const QString &token, qint64 userId, const QString &session,
                                               qint64 nowSecs)
{
    if (token.isEmpty())
        return std::nullopt;
    const QString name = tokenHash(token);
    Transaction tx(m_db);
    dropLapsed(nowSecs);
    const auto rows = m_db.query("SELECT wrapped_key FROM vault_unlocks WHERE token_hash = ?1 AND user_id = ?2 "
                                 "AND session = ?3",
                                 {name, userId, session});
    if (rows.empty())
        return std::nullopt;
    m_db.exec("UPDATE vault_unlocks SET last_used = ?2 WHERE token_hash = ?1", {name, nowSecs});
    if (!tx.commit())
        return std::nullopt;
    return unwrap(token, rows.front().value(0).toByteArray());
}

void VaultSessions::close(const QString &token, qint64 userId)
{
    m_db.exec("DELETE FROM vault_unlocks WHERE token_hash = ?1 AND user_id = ?2", {tokenHash(token), userId});
}

void VaultSessions::closeAll(qint64 userId)
{
    m_db.exec("DELETE FROM vault_unlocks WHERE user_id = ?1", {userId});
}

void VaultSessions::closeSession(qint64 userId, const QString &session)
{
    m_db.exec("DELETE FROM vault_unlocks WHERE user_id = ?1 AND session = ?2", {userId, session});
}

void VaultSessions::dropLapsed(qint64 nowSecs)
{
    // A clock moved backwards does not keep a token alive forever either.
    m_db.exec("DELETE FROM vault_unlocks WHERE last_used <= ?1 OR last_used > ?2",
              {nowSecs - IdleSecs, nowSecs + IdleSecs});
}

qint64 VaultSessions::retryAfter(qint64 userId, qint64 nowSecs)
{
    const auto rows = m_db.query("SELECT failures, first_at FROM vault_failures WHERE user_id = ?1", {userId});
    if (rows.empty())
        return 0;
    const qint64 windowEnd = rows.front().value(1).toLongLong() + FailureWindowSecs;
    if (nowSecs >= windowEnd) {
        clearFailures(userId);
        return 0;
    }
    return rows.front().value(0).toInt() >= MaxFailures ? windowEnd - nowSecs : 0;
}

void VaultSessions::recordFailure(qint64 userId, qint64 nowSecs)
{
    // A failure after the window starts a new one; within it, it counts on.
    m_db.exec("INSERT INTO vault_failures(user_id, failures, first_at) VALUES(?1, 1, ?2) "
              "ON CONFLICT (user_id) DO UPDATE SET "
              "failures = CASE WHEN vault_failures.first_at + ?3 <= excluded.first_at THEN 1 "
              "ELSE vault_failures.failures + 1 END, "
              "first_at = CASE WHEN vault_failures.first_at + ?3 <= excluded.first_at THEN excluded.first_at "
              "ELSE vault_failures.first_at END",
              {userId, nowSecs, FailureWindowSecs});
}

void VaultSessions::clearFailures(qint64 userId)
{
    m_db.exec("DELETE FROM vault_failures WHERE user_id = ?1", {userId});
}

} // namespace tvr::server
