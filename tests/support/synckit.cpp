#include "synckit.h"

#include "eventwait.h"
#include "net/session.h"
#include "sync/ignorerules.h"
#include "sync/remotefeed.h"
#include "sync/syncengine.h"
#include "testsettings.h"
#include "transfer/transfermanager.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace SyncKit {

namespace {

template <typename F> void walk(const QString &root, F &&visit)
{
    const IgnoreRules rules;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        it.next();
        const QString rel = base.relativeFilePath(it.filePath());
        // Links are never synced, so never compared.
        if (!rules.isIgnored(rel) && !it.fileInfo().isSymLink())
            visit(rel, it.fileInfo());
    }
}

} // namespace

QMap<QString, QByteArray> treeOf(const QString &root)
{
    QMap<QString, QByteArray> tree;
    walk(root, [&tree](const QString &rel, const QFileInfo &info) {
        if (info.isDir()) {
            tree.insert(rel, "/");
            return;
        }
        QFile f(info.filePath());
        tree.insert(rel, f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>"));
    });
    return tree;
}

QMap<QString, QString> digestsOf(const QString &root)
{
    QMap<QString, QString> tree;
    walk(root, [&tree](const QString &rel, const QFileInfo &info) {
        tree.insert(rel, info.isDir() ? QStringLiteral("/") : md5OfFile(info.filePath()));
    });
    return tree;
}

QString md5OfFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(&f);
    return QString::fromLatin1(hash.result().toHex());
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

bool writeSettled(const QString &path, const QByteArray &bytes)
{
    if (!writeFile(path, bytes))
        return false;
    QFile f(path);
    return f.open(QIODevice::ReadWrite) &&
           f.setFileTime(QDateTime::currentDateTime().addSecs(-10), QFileDevice::FileModificationTime);
}

bool writeBig(const QString &path, qint64 size, int seed)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    // A slice that does not divide the chunk size, so that chunks differ from each other.
    QByteArray slice(1048573, Qt::Uninitialized);
    quint32 x = quint32(seed) * 2654435761u + 1;
    for (char &c : slice) {
        x = x * 1664525u + 1013904223u;
        c = char(x >> 24);
    }
    for (qint64 written = 0; written < size;) {
        const qint64 n = qMin<qint64>(slice.size(), size - written);
        if (f.write(slice.constData(), n) != n)
            return false;
        written += n;
    }
    f.close();
    return f.open(QIODevice::ReadWrite) &&
           f.setFileTime(QDateTime::currentDateTime().addSecs(-10), QFileDevice::FileModificationTime);
}

QJsonArray serverFiles(ReferenceServer &server, const ReferenceServer::Credentials &user, const QString &parentId)
{
    return server.get("/api/files?parent_id=" + parentId, user).dataArray();
}

QString serverIdOf(ReferenceServer &server, const ReferenceServer::Credentials &user, const QString &parentId,
                   const QString &name)
{
    for (const QJsonValue &v : serverFiles(server, user, parentId)) {
        if (v["name"].toString() == name)
            return QString::number(v["id"].toInteger());
    }
    return {};
}

QString startSignedIn(const QString &workDir, std::unique_ptr<ReferenceServer> &server,
                      ReferenceServer::Credentials &user, const QString &userName, const QString &mobile,
                      const ReferenceServer::Options &options)
{
    useSettingsFolder(workDir + QStringLiteral("/settings"));
    // The journals and the desktop's trash live under the data folder.
    qputenv("XDG_DATA_HOME", QFile::encodeName(workDir + QStringLiteral("/data")));
    QDir().mkpath(workDir + QStringLiteral("/data"));
    server = std::make_unique<ReferenceServer>(options);
    if (!server->start())
        return server->errorString();
    qputenv("TVR_SERVER", server->baseUrl().toUtf8());
    user = server->signIn(userName, mobile);
    if (!user.isValid())
        return QStringLiteral("cannot sign in as ") + userName;
    if (!Session::instance()->applyLogin(user.login))
        return QStringLiteral("the session refused the login");
    return {};
}

QString newFolder(ReferenceServer &server, const ReferenceServer::Credentials &user, const QString &name)
{
    const auto folder =
        server.postJson(QStringLiteral("/api/folders"), QJsonObject{{QStringLiteral("name"), name}}, user);
    return folder.success() ? QString::number(folder.dataObject().value(QStringLiteral("id")).toInteger()) : QString();
}

int transferCount()
{
    return int(TransferManager::instance()->tasks().size());
}

} // namespace SyncKit

TwoEngines::TwoEngines() = default;

TwoEngines::~TwoEngines() = default;

bool TwoEngines::start(const QString &workDir, const QString &folderId, const QString &teamId)
{
    m_folderA = workDir + QStringLiteral("/A");
    m_folderB = workDir + QStringLiteral("/B");
    if (!QDir().mkpath(m_folderA) || !QDir().mkpath(m_folderB))
        return false;
    m_a = std::make_unique<SyncEngine>(SyncEngine::Config{m_folderA, folderId, teamId, {}},
                                       workDir + QStringLiteral("/A.db"));
    m_b = std::make_unique<SyncEngine>(SyncEngine::Config{m_folderB, folderId, teamId, {}},
                                       workDir + QStringLiteral("/B.db"));
    for (SyncEngine *engine : {m_a.get(), m_b.get()}) {
        engine->setTimings(50, 300, 300);
        engine->feed()->setRetryDelays(100, 400);
        if (!engine->start())
            return false;
    }
    return true;
}

void TwoEngines::stop()
{
    m_a.reset();
    m_b.reset();
}

bool TwoEngines::settled(int timeoutMs)
{
    const int quietA = m_a->quietRounds();
    const int quietB = m_b->quietRounds();
    return waitUntil(
        [&] {
            return m_a->quietRounds() > quietA && m_b->quietRounds() > quietB &&
                   m_a->state() == SyncEngine::State::Idle && m_b->state() == SyncEngine::State::Idle &&
                   SyncKit::treeOf(m_folderA) == SyncKit::treeOf(m_folderB);
        },
        timeoutMs);
}

SyncDriver::SyncDriver() = default;

SyncDriver::~SyncDriver()
{
    kill();
}

bool SyncDriver::start(const Options &o, const QByteArray &loginJson)
{
    kill();
    m_output.clear();
    m_process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), o.homeDir);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), o.homeDir + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), o.homeDir + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), o.homeDir + QStringLiteral("/cache"));
    m_process->setProcessEnvironment(env);
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList args{QStringLiteral("--server"),  o.serverUrl,  QStringLiteral("--local"), o.localPath,
                     QStringLiteral("--journal"), o.journalPath};
    if (!o.folderId.isEmpty())
        args << QStringLiteral("--folder") << o.folderId;
    if (o.upLimit > 0)
        args << QStringLiteral("--up-limit") << QString::number(o.upLimit);
    if (o.downLimit > 0)
        args << QStringLiteral("--down-limit") << QString::number(o.downLimit);
    m_process->start(QStringLiteral(TVR_SYNC_DRIVER_BINARY), args);
    if (!m_process->waitForStarted(10000))
        return false;
    m_process->write(loginJson + '\n');
    m_process->closeWriteChannel();
    return true;
}

void SyncDriver::kill()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(10000);
    }
    m_output += m_process->readAllStandardOutput();
    m_process.reset();
}

bool SyncDriver::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

int SyncDriver::settledCount()
{
    return int(output().count("settled "));
}

QByteArray SyncDriver::output()
{
    if (m_process)
        m_output += m_process->readAllStandardOutput();
    return m_output;
}
