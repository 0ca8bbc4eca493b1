#pragma once

#include <QObject>

// One place where every page reports that it changed the stored files, so that whoever shows
// figures derived from them (the sidebar quota) can fetch them again.
//
// Pages call FileChangeNotifier::notify() once the server has confirmed a change that can alter
// the storage used: an upload (multipart, chunked or instant), a delete, an extract, a restore
// or purge in the trash, a vault upload or delete, a team upload or delete. Renames, moves and new
// folders need not report. Each call emits filesChanged() at once; listeners coalesce bursts
// themselves (the main window asks for the profile once, a moment after the last report).
class FileChangeNotifier final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileChangeNotifier)

public:
    static FileChangeNotifier *instance();
    // Emits filesChanged() on the process-wide notifier.
    static void notify();

signals:
    void filesChanged();

private:
    FileChangeNotifier() = default;
};
