#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <atomic>

class QCryptographicHash;

// One downloaded piece of the installer and the size it must have.
struct InstallerPart
{
    QString path;
    qint64 length = 0;
};

struct InstallerMergeResult
{
    enum class Outcome { Merged, CannotWrite, Incomplete, Canceled };
    Outcome outcome = Outcome::Merged;
    QByteArray digestBase64; // SHA-512 of the whole installer, when merged
};

// Joins parts, in order, into target and finishes hash over it. hash must already hold the bytes
// of the first part, which becomes the target by a rename (no copy) when it can. The parts are
// removed in every case; target is removed unless the merge succeeded. Safe to run on a worker
// thread: it touches only the files and hash given to it, and checks cancel between slices.
InstallerMergeResult mergeInstallerParts(const QList<InstallerPart> &parts, const QString &target,
                                         QCryptographicHash &hash, const std::atomic_bool &cancel);
