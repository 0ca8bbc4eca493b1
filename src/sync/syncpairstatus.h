#pragma once

#include "sync/syncexecutor.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// What one pair is doing now, as the sync page and the tray show it.
struct SyncPairStatus
{
    enum class Kind { Starting, Synced, Syncing, Paused, Failed, Conflicted, NeedsConfirmation, Stopped };

    QString id;
    QString localPath;
    QString folderPath;
    Kind kind = Kind::Stopped;
    // The n of "同步中 n 项", "出错 n 项", "冲突 n 项" and the deletes waiting for a yes.
    int count = 0;
    QDateTime lastSynced;
    QList<SyncExecutor::Failure> failures;
    QStringList conflicts; // conflict copies, relative to localPath
    int plannedDeletes = 0;
};
