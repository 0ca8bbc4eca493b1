#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <memory>

// SHA-512 for installers of hundreds of MiB. Through libcrypto when the build has it: there it is
// about three times as fast as QCryptographicHash (Qt 6.4 uses a portable C version), which
// decides how long the user waits after the last byte arrived. Not copyable; one thread at a time.
class Sha512Hash final
{
public:
    Sha512Hash();
    ~Sha512Hash();
    Sha512Hash(const Sha512Hash &) = delete;
    Sha512Hash &operator=(const Sha512Hash &) = delete;

    void addData(QByteArrayView bytes);
    // The 64-byte digest of everything added; the hash is spent afterwards.
    QByteArray result();

private:
    struct State;
    std::unique_ptr<State> m_state;
};
