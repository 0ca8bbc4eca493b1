#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <memory>

// Helpers of the folder-sync tests and benchmarks.
namespace SyncKit {

// Every synced entry under root (ignored names left out): files by content, folders as "/".
QMap<QString, QByteArray> treeOf(const QString &root);
// Every synced entry under root by MD5 of its content (folders as "/"): for big files.
QMap<QString, QString> digestsOf(const QString &root);
QString md5OfFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);
// Written a little in the past, so the engine takes it as stable at once.
bool writeSettled(const QString &path, const QByteArray &bytes);
// A file of size bytes of a repeating pattern seeded by seed, written in slices, dated in the past.
bool writeBig(const QString &path, qint64 size, int seed);

} // namespace SyncKit

// tvr_syncdriver (one SyncEngine in its own process) for tests that kill it with SIGKILL.
class SyncDriver final
{
public:
    struct Options
    {
        QString serverUrl;
        QString localPath;
        QString journalPath;
        QString folderId;
        QString homeDir; // settings and trash of the process live here
        qint64 upLimit = 0;
        qint64 downLimit = 0;
    };

    SyncDriver();
    ~SyncDriver();
    SyncDriver(const SyncDriver &) = delete;
    SyncDriver &operator=(const SyncDriver &) = delete;

    // Starts the process and hands it the login payload on standard input.
    bool start(const Options &options, const QByteArray &loginJson);
    // SIGKILL, then waits for the process to be gone.
    void kill();
    bool isRunning() const;
    // "settled N" lines printed so far.
    int settledCount();
    QByteArray output();

private:
    std::unique_ptr<QProcess> m_process;
    QByteArray m_output;
};
