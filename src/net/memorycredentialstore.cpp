#include "net/memorycredentialstore.h"

#include <QMetaObject>

namespace {
CredentialStore::Reply unreachable()
{
    CredentialStore::Reply reply;
    reply.error = QStringLiteral("系统密钥环不可用");
    return reply;
}
} // namespace

void MemoryCredentialStore::read(const QString &key, Done done)
{
    if (m_unavailable)
        return answer(std::move(done), unreachable());
    Reply reply;
    reply.ok = m_entries.contains(key);
    reply.missing = !reply.ok;
    reply.secret = m_entries.value(key);
    answer(std::move(done), reply);
}

void MemoryCredentialStore::write(const QString &key, const QString &secret, Done done)
{
    if (m_unavailable)
        return answer(std::move(done), unreachable());
    m_entries.insert(key, secret);
    answer(std::move(done), Reply{true, false, {}, {}});
}

void MemoryCredentialStore::remove(const QString &key, Done done)
{
    if (m_unavailable)
        return answer(std::move(done), unreachable());
    m_entries.remove(key);
    answer(std::move(done), Reply{true, false, {}, {}});
}

void MemoryCredentialStore::answer(Done done, const Reply &reply)
{
    if (!done)
        return;
    QMetaObject::invokeMethod(
        this, [done = std::move(done), reply] { done(reply); }, Qt::QueuedConnection);
}
