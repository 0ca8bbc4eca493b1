#include "update/sha512hash.h"

#ifdef TVR_HAVE_LIBCRYPTO
#include <openssl/evp.h>
#else
#include <QCryptographicHash>
#endif

#ifdef TVR_HAVE_LIBCRYPTO
struct Sha512Hash::State
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    bool ok = context && EVP_DigestInit_ex(context, EVP_sha512(), nullptr) == 1;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha512Hash::Sha512Hash()
    : m_state(std::make_unique<State>())
{}

Sha512Hash::~Sha512Hash() = default;

void Sha512Hash::addData(QByteArrayView bytes)
{
    if (m_state->ok && !bytes.isEmpty())
        m_state->ok = EVP_DigestUpdate(m_state->context, bytes.data(), size_t(bytes.size())) == 1;
}

QByteArray Sha512Hash::result()
{
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    // A failed digest is empty, which never equals a published one.
    if (!m_state->ok ||
        EVP_DigestFinal_ex(m_state->context, reinterpret_cast<unsigned char *>(digest.data()), &length) != 1)
        return {};
    m_state->ok = false;
    digest.truncate(qsizetype(length));
    return digest;
}
#else
struct Sha512Hash::State
{
    QCryptographicHash hash{QCryptographicHash::Sha512};
};

Sha512Hash::Sha512Hash()
    : m_state(std::make_unique<State>())
{}

Sha512Hash::~Sha512Hash() = default;

void Sha512Hash::addData(QByteArrayView bytes)
{
    m_state->hash.addData(bytes);
}

QByteArray Sha512Hash::result()
{
    return m_state->hash.result();
}
#endif
