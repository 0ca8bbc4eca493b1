#include "sync/localscanner.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QDir>
#include <QDirIterator>
#endif

namespace {

#ifdef Q_OS_UNIX
qint64 mtimeMsOf(const struct stat &info)
{
    return qint64(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
}

bool entryFromStat(const struct stat &info, LocalEntry &entry)
{
    if (S_ISDIR(info.st_mode)) {
        entry.isDir = true;
    } else if (S_ISREG(info.st_mode)) {
        entry.isDir = false;
        entry.size = qint64(info.st_size);
        entry.mtimeMs = mtimeMsOf(info);
    } else {
        return false; // links, sockets, devices
    }
    entry.inode = quint64(info.st_ino);
    return true;
}

void scanFolder(int parentFd, const QByteArray &name, const QString &relative, const IgnoreRules &rules,
                LocalScanner::Result &result)
{
    const int fd = openat(parentFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        result.unreadable << relative;
        return;
    }
    DIR *dir = fdopendir(fd);
    if (!dir) {
        ::close(fd);
        result.unreadable << relative;
        return;
    }
    QList<std::pair<QByteArray, QString>> folders;
    for (;;) {
        errno = 0;
        const dirent *item = readdir(dir);
        if (!item) {
            if (errno != 0) { // a read error (EIO), not the end: the rest of the folder is unknown
                result.unreadable << relative;
                folders.clear();
            }
            break;
        }
        const char *raw = item->d_name;
        if (raw[0] == '.' && (raw[1] == 0 || (raw[1] == '.' && raw[2] == 0)))
            continue;
        const QString childName = QFile::decodeName(raw);
        if (rules.isIgnoredName(childName))
            continue;
        const bool badName = QFile::encodeName(childName) != raw;
        struct stat info;
        if (fstatat(fd, raw, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue; // gone since readdir
            // Listed but not searchable (a folder with read but no execute permission): what is
            // in it is unknown, not gone.
            result.unreadable << relative;
            folders.clear();
            break;
        }
        LocalEntry entry;
        if (!entryFromStat(info, entry))
            continue;
        entry.path = relative.isEmpty() ? childName : relative + QLatin1Char('/') + childName;
        // The folders above were checked on the way down: only whole-path patterns are left.
        if (rules.isIgnoredWholePath(entry.path))
            continue;
        if (badName) {
            result.badNames << entry;
            continue;
        }
        if (entry.isDir)
            folders.append({QByteArray(raw), entry.path});
        result.entries.insert(entry.path, entry);
    }
    for (const auto &[childRaw, childPath] : std::as_const(folders))
        scanFolder(fd, childRaw, childPath, rules, result);
    closedir(dir); // closes fd
}
#endif

} // namespace

LocalScanner::Result LocalScanner::scan(const QString &root, const IgnoreRules &rules, qint64 nowMs, qint64 stableMs)
{
    Result result;
    const QFileInfo rootInfo(root);
    if (!rootInfo.exists() || !rootInfo.isDir()) {
        result.rootMissing = true;
        return result;
    }
#ifdef Q_OS_UNIX
    scanFolder(AT_FDCWD, QFile::encodeName(root), QString(), rules, result);
#else
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink())
            continue;
        LocalEntry entry;
        entry.path = base.relativeFilePath(info.filePath());
        if (rules.isIgnored(entry.path))
            continue;
        entry.isDir = info.isDir();
        if (!entry.isDir) {
            entry.size = info.size();
            entry.mtimeMs = info.lastModified().toMSecsSinceEpoch();
        }
        result.entries.insert(entry.path, entry);
    }
#endif
    for (LocalEntry &entry : result.entries) {
        // A time in the future (a skewed clock, an archive) does not hold a file back for ever.
        const qint64 age = nowMs - entry.mtimeMs;
        if (!entry.isDir && age >= 0 && age < stableMs)
            entry.unstable = true;
    }
    return result;
}

bool LocalScanner::stat(const QString &root, const QString &relativePath, LocalEntry &entry)
{
    if (IgnoreRules().isIgnored(relativePath))
        return false;
    const QString full = root + QLatin1Char('/') + relativePath;
    entry = LocalEntry();
    entry.path = relativePath;
#ifdef Q_OS_UNIX
    struct stat info;
    if (lstat(QFile::encodeName(full).constData(), &info) != 0)
        return false;
    return entryFromStat(info, entry);
#else
    const QFileInfo info(full);
    if (!info.exists() || info.isSymLink())
        return false;
    entry.isDir = info.isDir();
    if (!entry.isDir) {
        entry.size = info.size();
        entry.mtimeMs = info.lastModified().toMSecsSinceEpoch();
    }
    return true;
#endif
}
