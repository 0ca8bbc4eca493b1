#pragma once

#include <QNetworkProxy>
#include <QString>

// What the user sets for transfers, kept in the per-user settings store (group "transfer"): where
// downloads go, how many jobs run at once, the speed limits and the proxy. The proxy password is
// never written there: TransferManager keeps it in the desktop's keyring.
struct TransferSettings
{
    enum class ProxyMode { System, None, Http, Socks5 };

    static constexpr int DefaultMaxRunning = 3;
    static constexpr int MaxMaxRunning = 10;
    // The lowest speed limit, in bytes per second. Servers close connections that move less than
    // about 1 KiB/s; a limit shared by ten jobs of three connections each must stay above that.
    static constexpr qint64 MinLimit = 64 * 1024;
    // Connections one large download uses at once (1: a single stream).
    static constexpr int DefaultDownloadStreams = 4;
    static constexpr int MaxDownloadStreams = 8;

    QString downloadDir; // empty: the user's Downloads folder
    int maxRunning = DefaultMaxRunning;
    qint64 uploadLimit = 0;   // bytes per second; 0 is no limit
    qint64 downloadLimit = 0; // bytes per second; 0 is no limit
    int downloadStreams = DefaultDownloadStreams;
    ProxyMode proxyMode = ProxyMode::System;
    QString proxyHost;
    quint16 proxyPort = 0;
    QString proxyUser;     // empty: the proxy asks for no account
    QString proxyPassword; // in memory only; save() leaves it out

    // The stored settings, each value checked (anything out of range falls back to its default).
    static TransferSettings load();
    void save() const;

    // The folder downloads go to: the chosen one, else Downloads, else home; created when missing.
    QString effectiveDownloadDir() const;
    static QString defaultDownloadDir();
    // An HTTP or SOCKS5 proxy given by hand.
    bool manualProxy() const { return proxyMode == ProxyMode::Http || proxyMode == ProxyMode::Socks5; }
    // Whether the proxy's password belongs in the keyring: a manual proxy with an account.
    bool proxyNeedsPassword() const { return manualProxy() && !proxyUser.isEmpty(); }
    // For HttpClient::setProxy: DefaultProxy for the system's settings.
    QNetworkProxy proxy() const;
    // Empty when the settings can be used; else why not, in Chinese.
    QString validate() const;

    bool operator==(const TransferSettings &other) const = default;
};
