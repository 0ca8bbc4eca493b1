#include "vault/vaultsessions.h"

#include "vault/vaultkey.h"

#include <QCryptographicHash>
#include <openssl/rand.h>

namespace tvr::server {

VaultSessions::~VaultSessions()
{
    for (auto &[hash, entry] : m_entries)
        VaultKey::wipe(entry.key);
}

QByteArray VaultSessions::tokenKey(const QString &token)
{
    return QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256);
}

QString VaultSessions::open(qint64 userId, const QString &session, const QByteArray &key, qint64 nowSecs)
{
    QByteArray random(32, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(random.data()), random.size()) != 1)
        return QString();
    const QString token = QString::fromLatin1(random.toHex());
    std::lock_guard lock(m_mutex);
    dropLapsed(nowSecs);
    m_entries[tokenKey(token)] = Entry{userId, session, key, nowSecs};
    return token;
}

std::optional<QByteArray> VaultSessions::touch(const QString &token, qint64 userId, const QString &session,
                                               qint64 nowSecs)
{
    if (token.isEmpty())
        return std::nullopt;
    std::lock_guard lock(m_mutex);
    dropLapsed(nowSecs);
    const auto it = m_entries.find(tokenKey(token));
    if (it == m_entries.end() || it->second.userId != userId || it->second.session != session)
        return std::nullopt;
    it->second.lastUsed = nowSecs;
    return it->second.key;
}

void VaultSessions::close(const QString &token, qint64 userId)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(tokenKey(token));
    if (it == m_entries.end() || it->second.userId != userId)
        return;
    VaultKey::wipe(it->second.key);
    m_entries.erase(it);
}

void VaultSessions::closeAll(qint64 userId)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->second.userId == userId) {
            VaultKey::wipe(it->second.key);
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
}

void VaultSessions::closeSession(qint64 userId, const QString &session)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->second.userId == userId && it->second.session == session) {
            VaultKey::wipe(it->second.key);
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
}

void VaultSessions::dropLapsed(qint64 nowSecs)
{
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        // A clock moved backwards does not keep a token alive forever either.
        const qint64 idle = nowSecs - it->second.lastUsed;
        if (idle >= IdleSecs || idle < -IdleSecs) {
            VaultKey::wipe(it->second.key);
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
}

qint64 VaultSessions::retryAfter(qint64 userId, qint64 nowSecs)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_failures.find(userId);
    if (it == m_failures.end())
        return 0;
    const qint64 windowEnd = it->second.firstAt + FailureWindowSecs;
    if (nowSecs >= windowEnd) {
        m_failures.erase(it);
        return 0;
    }
    return it->second.count >= MaxFailures ? windowEnd - nowSecs : 0;
}

void VaultSessions::recordFailure(qint64 userId, qint64 nowSecs)
{
    std::lock_guard lock(m_mutex);
    Failures &failures = m_failures[userId];
    if (failures.count == 0 || nowSecs >= failures.firstAt + FailureWindowSecs)
        failures = Failures{0, nowSecs};
    ++failures.count;
}

void VaultSessions::clearFailures(qint64 userId)
{
    std::lock_guard lock(m_mutex);
    m_failures.erase(userId);
}

} // namespace tvr::server
