#include "transfer/transfersettings.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

namespace {
const QString Organization = QStringLiteral("Tolvarsoft");
const QString Application = QStringLiteral("tolvar-storage-qt");
const QString Group = QStringLiteral("transfer");

const char *const ProxyModeNames[] = {"system", "none", "http", "socks5"};
} // namespace

TransferSettings TransferSettings::load()
{
    QSettings store(Organization, Application);
    store.beginGroup(Group);
    TransferSettings settings;
    settings.downloadDir = store.value(QStringLiteral("downloadDir")).toString();
    const int maxRunning = store.value(QStringLiteral("maxRunning"), DefaultMaxRunning).toInt();
    settings.maxRunning = maxRunning >= 1 && maxRunning <= MaxMaxRunning ? maxRunning : DefaultMaxRunning;
    // A limit stored by an older version may lie under today's floor: raise it, never drop it.
    const auto limit = [&store](const char *key) {
        const qint64 value = store.value(QLatin1String(key), 0).toLongLong();
        return value > 0 ? std::max(value, MinLimit) : 0;
    };
    settings.uploadLimit = limit("uploadLimit");
    settings.downloadLimit = limit("downloadLimit");
    const int streams = store.value(QStringLiteral("downloadStreams"), DefaultDownloadStreams).toInt();
    settings.downloadStreams = streams >= 1 && streams <= MaxDownloadStreams ? streams : DefaultDownloadStreams;
    const QString mode = store.value(QStringLiteral("proxyMode")).toString();
    for (int i = 0; i < 4; ++i) {
        if (mode == QLatin1String(ProxyModeNames[i]))
            settings.proxyMode = ProxyMode(i);
    }
    settings.proxyHost = store.value(QStringLiteral("proxyHost")).toString().trimmed();
    const int port = store.value(QStringLiteral("proxyPort"), 0).toInt();
    settings.proxyPort = port > 0 && port <= 65535 ? quint16(port) : 0;
    settings.proxyUser = store.value(QStringLiteral("proxyUser")).toString();
    if (settings.manualProxy() && !settings.validate().isEmpty())
        settings.proxyMode = ProxyMode::System;
    if (!settings.manualProxy())
        settings.proxyUser.clear();
    return settings;
}

void TransferSettings::save() const
{
    QSettings store(Organization, Application);
    store.beginGroup(Group);
    store.setValue(QStringLiteral("downloadDir"), downloadDir);
    store.setValue(QStringLiteral("maxRunning"), maxRunning);
    store.setValue(QStringLiteral("uploadLimit"), uploadLimit);
    store.setValue(QStringLiteral("downloadLimit"), downloadLimit);
    store.setValue(QStringLiteral("downloadStreams"), downloadStreams);
    store.setValue(QStringLiteral("proxyMode"), QString::fromLatin1(ProxyModeNames[int(proxyMode)]));
    store.setValue(QStringLiteral("proxyHost"), proxyHost);
    store.setValue(QStringLiteral("proxyPort"), int(proxyPort));
    // The account name only: the password goes to the keyring (TransferManager), never here.
    store.setValue(QStringLiteral("proxyUser"), manualProxy() ? proxyUser : QString());
}

QString TransferSettings::defaultDownloadDir()
{
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return downloads.isEmpty() ? QDir::homePath() : downloads;
}

QString TransferSettings::effectiveDownloadDir() const
{
    const QString dir = downloadDir.isEmpty() ? defaultDownloadDir() : downloadDir;
    QDir().mkpath(dir);
    return dir;
}

QNetworkProxy TransferSettings::proxy() const
{
    switch (proxyMode) {
    case ProxyMode::System:
        break;
    case ProxyMode::None:
        return QNetworkProxy(QNetworkProxy::NoProxy);
    case ProxyMode::Http:
        return QNetworkProxy(QNetworkProxy::HttpProxy, proxyHost, proxyPort, proxyUser, proxyPassword);
    case ProxyMode::Socks5:
        return QNetworkProxy(QNetworkProxy::Socks5Proxy, proxyHost, proxyPort, proxyUser, proxyPassword);
    }
    return QNetworkProxy(QNetworkProxy::DefaultProxy);
}

QString TransferSettings::validate() const
{
    if (maxRunning < 1 || maxRunning > MaxMaxRunning)
        return QStringLiteral("同时进行的任务数应在 1 到 %1 之间").arg(MaxMaxRunning);
    if (downloadStreams < 1 || downloadStreams > MaxDownloadStreams)
        return QStringLiteral("单个文件的下载连接数应在 1 到 %1 之间").arg(MaxDownloadStreams);
    if (uploadLimit < 0 || downloadLimit < 0)
        return QStringLiteral("限速不能为负数");
    if ((uploadLimit > 0 && uploadLimit < MinLimit) || (downloadLimit > 0 && downloadLimit < MinLimit))
        return QStringLiteral("限速不能低于 %1 KB/s").arg(MinLimit / 1024);
    if (proxyMode == ProxyMode::Http || proxyMode == ProxyMode::Socks5) {
        if (proxyHost.isEmpty() || proxyHost.contains(QLatin1Char(' ')))
            return QStringLiteral("请填写代理服务器地址");
        if (proxyPort == 0)
            return QStringLiteral("请填写代理服务器端口（1–65535）");
        if (proxyUser.isEmpty() && !proxyPassword.isEmpty())
            return QStringLiteral("请填写代理账号");
        if (proxyUser.contains(QLatin1Char(':')))
            return QStringLiteral("代理账号不能包含冒号");
    }
    return {};
}
