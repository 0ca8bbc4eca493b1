#include "transfer/downloadregistry.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QSet>

namespace {
const QString PartSuffix = QStringLiteral(".part");

QMutex s_mutex;

QSet<QString> &claimed()
{
    static QSet<QString> targets;
    return targets;
}

// One spelling per file: absolute, clean, the folder resolved through links when it exists, and
// case-folded where the file system ignores case.
QString keyOf(const QString &target)
{
    const QFileInfo info(QDir::cleanPath(QFileInfo(target).absoluteFilePath()));
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    QString key = (folder.isEmpty() ? info.absolutePath() : folder) + QLatin1Char('/') + info.fileName();
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    key = key.toCaseFolded();
#endif
    return key;
}

// Whether key is written by a claimed job, as its target or as the side file of one, or whether
// key's own side file is.
bool busyKey(const QString &key)
{
    const QSet<QString> &targets = claimed();
    if (targets.contains(key) || targets.contains(key + PartSuffix))
        return true;
    return key.endsWith(PartSuffix) && targets.contains(key.chopped(PartSuffix.size()));
}
} // namespace

bool DownloadRegistry::claim(const QString &target)
{
    const QString key = keyOf(target);
    QMutexLocker lock(&s_mutex);
    if (busyKey(key))
        return false;
    claimed().insert(key);
    return true;
}

void DownloadRegistry::release(const QString &target)
{
    const QString key = keyOf(target);
    QMutexLocker lock(&s_mutex);
    claimed().remove(key);
}

bool DownloadRegistry::isBusy(const QString &target)
{
    const QString key = keyOf(target);
    QMutexLocker lock(&s_mutex);
    return busyKey(key);
}

QString DownloadRegistry::freeName(const QString &dir, const QString &fileName)
{
    const QDir folder(dir);
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot > 0 ? fileName.mid(dot) : QString();
    const QString stem = fileName.left(fileName.size() - extension.size());
    const auto taken = [&folder](const QString &name) {
        const QString path = folder.absoluteFilePath(name);
        return QFileInfo::exists(path) || QFileInfo(path).isSymLink() || QFileInfo::exists(path + PartSuffix) ||
               isBusy(path);
    };
    QString name = fileName;
    for (int n = 2; taken(name); ++n)
        name = QStringLiteral("%1 (%2)%3").arg(stem, QString::number(n), extension);
    return name;
}

QString DownloadRegistry::busyText(const QString &fileName)
{
    return QStringLiteral("「%1」正在下载中，请等它完成后再试").arg(fileName);
}
