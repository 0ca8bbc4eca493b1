#include "storage/serversecret.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <unistd.h>

namespace tvr::server {

static bool readSecret(const QString &path, QByteArray *secret, QString *error)
{
    QFile existing(path);
    if (!existing.open(QIODevice::ReadOnly))
        return false;
    *secret = existing.readAll();
    if (secret->size() == ServerSecret::Bytes)
        return true;
    *error = QStringLiteral("%1 is damaged (expected %2 bytes)").arg(path).arg(ServerSecret::Bytes);
    return false;
}

bool ServerSecret::loadOrCreate(const QString &dataDir, QByteArray *secret, QString *error)
{
    const QString path = QDir(dataDir).filePath(QLatin1String(FileName));
    QString damaged;
    if (readSecret(path, secret, &damaged))
        return true;
    if (!damaged.isEmpty()) {
        *error = damaged;
        return false;
    }
    QByteArray fresh(Bytes, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(fresh.data()), Bytes) != 1) {
        *error = QStringLiteral("the random number generator failed");
        return false;
    }
    // Written whole (owner-only, flushed) under a name of this process, then linked into place:
    // instances of a cluster starting at once on one data folder all end up with the one key
    // that got there first, and none ever reads it half written.
    const QString temp = path + QStringLiteral(".%1.tmp").arg(::getpid());
    const QByteArray tempName = temp.toUtf8();
    const int fd = ::open(tempName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const bool written = fd >= 0 && ::write(fd, fresh.constData(), size_t(Bytes)) == Bytes && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    const bool linked = written && ::link(tempName.constData(), path.toUtf8().constData()) == 0;
    const int linkError = errno;
    ::unlink(tempName.constData());
    if (linked) {
        *secret = fresh;
        return true;
    }
    if (written && linkError == EEXIST && readSecret(path, secret, &damaged))
        return true;
    *error = damaged.isEmpty() ? QStringLiteral("cannot write %1").arg(path) : damaged;
    return false;
}

QString ServerSecret::hmacHex(const QByteArray &key, const QByteArray &data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.constData(), int(key.size()), reinterpret_cast<const unsigned char *>(data.constData()),
         size_t(data.size()), digest, &length);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

} // namespace tvr::server
