#include "net/keychaincredentialstore.h"

#include <qt6keychain/keychain.h>

namespace {
QString errorText(QKeychain::Error error)
{
    switch (error) {
    case QKeychain::AccessDeniedByUser:
        return QStringLiteral("访问系统密钥环的请求被拒绝");
    case QKeychain::AccessDenied:
        return QStringLiteral("无权访问系统密钥环");
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
        return QStringLiteral("系统密钥环不可用");
    case QKeychain::CouldNotDeleteEntry:
        return QStringLiteral("无法删除系统密钥环中的条目");
    default:
        return QStringLiteral("系统密钥环出错");
    }
}
} // namespace

KeychainCredentialStore::KeychainCredentialStore(const QString &service, QObject *parent)
    : CredentialStore(parent)
    , m_service(service)
{}

void KeychainCredentialStore::read(const QString &key, Done done)
{
    start(new QKeychain::ReadPasswordJob(m_service, this), key, std::move(done));
}

void KeychainCredentialStore::write(const QString &key, const QString &secret, Done done)
{
    auto *job = new QKeychain::WritePasswordJob(m_service, this);
    job->setTextData(secret);
    start(job, key, std::move(done));
}

void KeychainCredentialStore::remove(const QString &key, Done done)
{
    start(new QKeychain::DeletePasswordJob(m_service, this), key, std::move(done));
}

void KeychainCredentialStore::start(QKeychain::Job *job, const QString &key, Done done)
{
    // Without a keyring the job must fail, never keep the secret in a plain settings file instead.
    job->setInsecureFallback(false);
    job->setAutoDelete(true);
    job->setKey(key);
    const bool deleting = qobject_cast<QKeychain::DeletePasswordJob *>(job) != nullptr;
    connect(job, &QKeychain::Job::finished, this, [done = std::move(done), deleting](QKeychain::Job *finished) {
        if (!done)
            return;
        Reply reply;
        const QKeychain::Error error = finished->error();
        if (error == QKeychain::NoError) {
            reply.ok = true;
            if (auto *read = qobject_cast<QKeychain::ReadPasswordJob *>(finished))
                reply.secret = read->textData();
        } else if (error == QKeychain::EntryNotFound) {
            reply.ok = deleting; // already gone
            reply.missing = !deleting;
        } else {
            reply.error = errorText(error);
        }
        done(reply);
    });
    job->start();
}
