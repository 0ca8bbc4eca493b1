#pragma once

#include "referenceserver.h"

#include <QByteArray>
#include <QJsonArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <memory>

class SyncEngine;

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

// What a server folder lists, and the id of the entry called name in it ("" when there is none).
QJsonArray serverFiles(ReferenceServer &server, const ReferenceServer::Credentials &user, const QString &parentId);
QString serverIdOf(ReferenceServer &server, const ReferenceServer::Credentials &user, const QString &parentId,
                   const QString &name);
// Transfers this process has put on the transfer list so far.
int transferCount();

// Where every sync test starts: the settings and the desktop's trash inside workDir, a reference
// server started (TVR_SERVER naming it), and a user of it signed in, in this process too.
// "" or what went wrong.
QString startSignedIn(const QString &workDir, std::unique_ptr<ReferenceServer> &server,
                      ReferenceServer::Credentials &user, const QString &userName, const QString &mobile,
                      const ReferenceServer::Options &options = {});
// A new folder of user's at the root of the personal space: its id, "" when it was refused.
QString newFolder(ReferenceServer &server, const ReferenceServer::Credentials &user, const QString &name);

} // namespace SyncKit

// Two engines in this process on two local folders, workDir/A and workDir/B (their journals
// beside them), paired to the same server folder, with the short delays tests want. The session
// and TVR_SERVER must be set first.
class TwoEngines final
{
public:
    TwoEngines();
    ~TwoEngines();
    TwoEngines(const TwoEngines &) = delete;
    TwoEngines &operator=(const TwoEngines &) = delete;

    bool start(const QString &workDir, const QString &folderId, const QString &teamId = {});
    void stop();
    SyncEngine &a() const { return *m_a; }
    SyncEngine &b() const { return *m_b; }
    QString folderA() const { return m_folderA; }
    QString folderB() const { return m_folderB; }
    // Both engines ended a round with nothing to do since this call, and both folders hold the
    // same tree.
    bool settled(int timeoutMs = 30000);

private:
    std::unique_ptr<SyncEngine> m_a;
    std::unique_ptr<SyncEngine> m_b;
    QString m_folderA;
    QString m_folderB;
};

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
