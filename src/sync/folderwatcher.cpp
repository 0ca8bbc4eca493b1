#include "sync/folderwatcher.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace {
// IN_MODIFY comes at every write and is told apart; IN_CLOSE_WRITE ends a write. Reads and opens
// (a digest of a file being sent) are not changes.
constexpr uint32_t WatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY |
                               IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
} // namespace

FolderWatcher::FolderWatcher(QObject *parent)
    : QObject(parent)
    , m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    if (m_fd < 0)
        return; // no hints: the periodic rescan still finds every change
    m_notifier = new QSocketNotifier(qintptr(m_fd), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &FolderWatcher::readEvents);
}

FolderWatcher::~FolderWatcher()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int FolderWatcher::addPaths(const QStringList &folders)
{
    if (m_fd < 0)
        return int(folders.size());
    int failed = 0;
    for (const QString &folder : folders) {
        if (m_watches.contains(folder))
            continue;
        const int wd = inotify_add_watch(m_fd, QFile::encodeName(folder).constData(), WatchMask);
        if (wd < 0) {
            if (errno == ENOSPC)
                m_limitReached = true;
            ++failed;
            continue;
        }
        // A folder renamed since it was watched keeps its watch: only its name here changes.
        const auto known = m_paths.constFind(wd);
        if (known != m_paths.cend() && !known->isEmpty())
            m_watches.remove(*known);
        m_paths.insert(wd, folder);
        m_watches.insert(folder, wd);
    }
    return failed;
}

void FolderWatcher::clear()
{
    for (auto it = m_paths.cbegin(); it != m_paths.cend(); ++it)
        inotify_rm_watch(m_fd, it.key());
    m_paths.clear();
    m_watches.clear();
    // What the removals themselves queued (IN_IGNORED) is read and dropped with the rest.
}

void FolderWatcher::readEvents()
{
    alignas(inotify_event) char buffer[16 * 1024];
    bool changed = false;
    bool writing = false;
    for (;;) {
        const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
        if (got <= 0) {
            if (got < 0 && errno == EINTR)
                continue;
            break; // EAGAIN: all read
        }
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= got;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char *name = buffer + at + sizeof(inotify_event);
            at += ssize_t(sizeof(inotify_event) + event.len);
            if (event.mask & IN_Q_OVERFLOW) {
                changed = true; // events were lost: a scan finds what they were
                continue;
            }
            if (event.mask & IN_IGNORED) {
                // The folder is gone (or its watch was removed): its descriptor may be given out
                // again for another folder.
                const auto known = m_paths.constFind(event.wd);
                if (known != m_paths.cend()) {
                    if (!known->isEmpty())
                        m_watches.remove(*known);
                    m_paths.erase(known);
                    changed = true;
                }
                continue;
            }
            const auto watched = m_paths.find(event.wd);
            if (watched == m_paths.end())
                continue; // queued before clear()
            if (event.mask & IN_MOVE_SELF) {
                // Still watched under its new name, which the next addPaths() gives it; its old
                // name is free for a new folder to be watched under.
                m_watches.remove(*watched);
                watched->clear();
            }
            if (event.len > 0 && m_ignored && m_ignored(QFile::decodeName(QByteArray(name, qstrnlen(name, event.len)))))
                continue;
            if ((event.mask & ~(IN_MODIFY | IN_ISDIR)) == 0)
                writing = true;
            else
                changed = true;
        }
    }
    if (changed)
        emit this->changed();
    else if (writing)
        emit this->writing();
}
