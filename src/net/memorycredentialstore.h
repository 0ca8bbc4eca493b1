#pragma once

#include "net/credentialstore.h"

#include <QHash>

// A CredentialStore in memory, for tests and runs without a desktop: it answers like the keyring
// does (later, on the event loop), and can play a keyring that cannot be reached.
class MemoryCredentialStore final : public CredentialStore
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MemoryCredentialStore)

public:
    explicit MemoryCredentialStore(QObject *parent = nullptr)
        : CredentialStore(parent)
    {}

    void read(const QString &key, Done done) override;
    void write(const QString &key, const QString &secret, Done done) override;
    void remove(const QString &key, Done done) override;

    // While unavailable, every call fails as an unreachable keyring's does.
    void setUnavailable(bool unavailable) { m_unavailable = unavailable; }
    QHash<QString, QString> entries() const { return m_entries; }

private:
    void answer(Done done, const Reply &reply);

    QHash<QString, QString> m_entries;
    bool m_unavailable = false;
};
