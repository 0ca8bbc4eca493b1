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

bool ServerSecret::loadOrCreate(const QString &dataDir, QByteArray *secret, QString *error)
{
    const QString path = QDir(dataDir).filePath(QLatin1String(FileName));
    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly)) {
        *secret = existing.readAll();
        if (secret->size() == Bytes)
            return true;
        *error = QStringLiteral("%1 is damaged (expected %2 bytes)").arg(path).arg(Bytes);
        return false;
    }
    QByteArray fresh(Bytes, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(fresh.data()), Bytes) != 1) {
        *error = QStringLiteral("the random number generator failed");
        return false;
    }
    // Created exclusively with owner-only permissions, then flushed before it is used.
    const int fd = ::open(path.toUtf8().constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, fresh.constData(), size_t(Bytes)) != Bytes || ::fsync(fd) != 0) {
        if (fd >= 0)
            ::close(fd);
        *error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    ::close(fd);
    *secret = fresh;
    return true;
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
