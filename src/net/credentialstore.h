#pragma once

#include <QObject>
#include <QString>
#include <functional>

// Where secrets live that must never reach the settings file (the proxy password): the desktop's
// keyring in the product (KeychainCredentialStore), memory in tests (MemoryCredentialStore).
// Answers come later, on the GUI thread, and never from inside the call.
class CredentialStore : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CredentialStore)

public:
    struct Reply
    {
        bool ok = false;      // read: secret holds the entry; write, remove: done
        bool missing = false; // read: the store answered, but holds no such entry
        QString secret;
        QString error; // why not, in Chinese; empty when ok or missing
    };
    using Done = std::function<void(const Reply &reply)>;

    explicit CredentialStore(QObject *parent = nullptr)
        : QObject(parent)
    {}

    virtual void read(const QString &key, Done done) = 0;
    virtual void write(const QString &key, const QString &secret, Done done) = 0;
    // Removing an entry that is not there is a success.
    virtual void remove(const QString &key, Done done) = 0;
};
