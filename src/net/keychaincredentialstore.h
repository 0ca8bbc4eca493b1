#pragma once

#include "net/credentialstore.h"

namespace QKeychain {
class Job;
}

// The CredentialStore of the product: the desktop's keyring (Secret Service or KWallet on Linux,
// the Credential Manager on Windows) through QtKeychain. Where no keyring can be reached, every
// call fails with a Chinese text; nothing ever falls back to a file.
class KeychainCredentialStore final : public CredentialStore
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(KeychainCredentialStore)

public:
    // Entries are filed under service in the keyring.
    explicit KeychainCredentialStore(const QString &service, QObject *parent = nullptr);

    void read(const QString &key, Done done) override;
    void write(const QString &key, const QString &secret, Done done) override;
    void remove(const QString &key, Done done) override;

private:
    void start(QKeychain::Job *job, const QString &key, Done done);

    QString m_service;
};
