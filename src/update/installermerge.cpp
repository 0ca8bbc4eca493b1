#include "update/installermerge.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

namespace {
// Large enough that the disk sees few calls, small enough that memory stays flat.
constexpr qint64 SliceBytes = 4 * 1024 * 1024;

using Outcome = InstallerMergeResult::Outcome;

InstallerMergeResult ended(Outcome outcome, const QList<InstallerPart> &parts, const QString &target)
{
    for (const InstallerPart &part : parts)
        QFile::remove(part.path);
    if (outcome != Outcome::Merged)
        QFile::remove(target);
    return {outcome, {}};
}

// Appends length bytes of from (already open) to to, feeding hash when given.
Outcome appendPart(QFile &from, qint64 length, QFile &to, QCryptographicHash *hash, QByteArray &slice,
                   const std::atomic_bool &cancel)
{
    qint64 copied = 0;
    while (copied < length) {
        if (cancel)
            return Outcome::Canceled;
        const qint64 want = qMin(length - copied, qint64(slice.size()));
        // A short read is a part that changed since it was checked.
        if (from.read(slice.data(), want) != want)
            return Outcome::Incomplete;
        if (to.write(slice.constData(), want) != want)
            return Outcome::CannotWrite;
        if (hash)
            hash->addData(QByteArrayView(slice.constData(), want));
        copied += want;
    }
    return Outcome::Merged;
}
} // namespace

InstallerMergeResult mergeInstallerParts(const QList<InstallerPart> &parts, const QString &target,
                                         QCryptographicHash &hash, const std::atomic_bool &cancel)
{
    if (cancel)
        return ended(Outcome::Canceled, parts, target);
    if (QFileInfo::exists(target) && !QFile::remove(target))
        return ended(Outcome::CannotWrite, parts, target);
    for (const InstallerPart &part : parts) {
        const QFileInfo info(part.path);
        if (!info.isFile() || info.size() != part.length)
            return ended(Outcome::Incomplete, parts, target);
    }
    if (parts.isEmpty())
        return ended(Outcome::Incomplete, parts, target);

    QByteArray slice(SliceBytes, Qt::Uninitialized);
    QFile out(target);
    // The first part, already digested as it arrived, becomes the installer without being copied.
    const bool renamed = QFile::rename(parts.first().path, target);
    if (!out.open(renamed ? QIODevice::Append : QIODevice::WriteOnly | QIODevice::Truncate))
        return ended(Outcome::CannotWrite, parts, target);
    if (!renamed) {
        QFile first(parts.first().path);
        if (!first.open(QIODevice::ReadOnly))
            return ended(Outcome::Incomplete, parts, target);
        const Outcome copied = appendPart(first, parts.first().length, out, nullptr, slice, cancel);
        if (copied != Outcome::Merged)
            return ended(copied, parts, target);
    }
    if (out.size() != parts.first().length)
        return ended(Outcome::Incomplete, parts, target);

    for (qsizetype i = 1; i < parts.size(); ++i) {
        QFile part(parts.at(i).path);
        if (!part.open(QIODevice::ReadOnly) || part.size() != parts.at(i).length)
            return ended(Outcome::Incomplete, parts, target);
        const Outcome appended = appendPart(part, parts.at(i).length, out, &hash, slice, cancel);
        if (appended != Outcome::Merged)
            return ended(appended, parts, target);
    }
    if (!out.flush()) {
        out.close();
        return ended(Outcome::CannotWrite, parts, target);
    }
    out.close();
    InstallerMergeResult result = ended(Outcome::Merged, parts, target);
    result.digestBase64 = hash.result().toBase64();
    return result;
}
