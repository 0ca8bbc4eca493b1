#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QSocketNotifier;

// Tells when something in a set of folders (each one alone, not its subfolders) may have changed:
// a name came, went or moved, a file written there was closed, or its times or mode changed.
// Writes still under way are told apart, so that a file being written is looked at once it may
// be stable rather than at every write. Hints only: the caller's scan is the truth.
// QFileSystemWatcher tells none of a file's own changes for a watched folder, so a file saved in
// place (an appending program, an editor that rewrites the file) would wait for the next rescan.
class FolderWatcher final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FolderWatcher)

public:
    explicit FolderWatcher(QObject *parent = nullptr);
    ~FolderWatcher() override;

    // Names for which nothing is told (partial and temporary files).
    void setIgnoredName(std::function<bool(const QString &name)> ignored) { m_ignored = std::move(ignored); }
    // Folders already watched are left as they are. Folders that cannot be watched (gone, or the
    // system's limit on watches reached) are left out; the count of those is returned.
    int addPaths(const QStringList &folders);
    void clear();
    QStringList directories() const { return m_watches.keys(); }
    // The system's limit on watches (fs.inotify.max_user_watches) held a folder out: changes there
    // wait for the caller's periodic rescan.
    bool limitReached() const { return m_limitReached; }

signals:
    void changed();
    // A file was written to and is still open.
    void writing();

private:
    void readEvents();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QHash<int, QString> m_paths;   // watch descriptor to folder
    QHash<QString, int> m_watches; // folder to watch descriptor
    std::function<bool(const QString &)> m_ignored;
    bool m_limitReached = false;
};
