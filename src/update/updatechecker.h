#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>
#include <optional>

#include "transfer/rangedfetch.h"

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class InstallerAssembler;
class Sha512Hash;
struct InstallerAssembly;

// Finds out whether a newer client build is published ("latest.yml" in the server's download
// area) and fetches its installer: four ranged segments (RangedFetch, into one side file) when the
// server supports ranges and the file is larger than 4 MiB, one stream otherwise, verified against
// the manifest's SHA-512 before it is offered. The installer lives in a folder only this user can
// enter. A segmented download whose checker is destroyed midway (the client quits) keeps its side
// file and the note of each segment's progress, so the next download continues every segment.
class UpdateChecker final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdateChecker)

public:
    // The build this program is.
    static constexpr auto CurrentVersion = "2.1.23";
    static constexpr int SegmentCount = 4;
    // Above this size (and with a 206 probe) the installer comes in segments.
    static constexpr qint64 SegmentThreshold = 4194304;
    static constexpr int MaxSegmentRestarts = 3;
    static constexpr int TransferTimeoutMs = 20000;
    static constexpr int SpeedIntervalMs = 500;

    struct Manifest
    {
        QString version;
        QString path;
        QString sha512; // Base64; empty when the manifest has none
    };

    UpdateChecker(const QString &channel, const QString &currentVersion, QObject *parent = nullptr);
    ~UpdateChecker() override;

    // Fetches and evaluates the manifest; ends with exactly one checked or one failed.
    Q_INVOKABLE void check();
    // Downloads the installer found by the last successful check; ends with downloaded or failed,
    // unless canceled. A download already running is stopped silently first, and its segments continued.
    void downloadInstaller();
    // Stops a running download and removes its files (the side file too); nothing is emitted
    // afterwards. Harmless when idle.
    void cancelDownload();

    QString channel() const { return m_channel; }
    QString currentVersion() const { return m_currentVersion; }
    QString latestVersion() const { return m_latestVersion; }
    QString installerUrl() const { return m_installerUrl; }
    QString expectedDigest() const { return m_expectedDigest; }
    bool hasUpdate() const { return m_hasUpdate; }
    // Where the installer is (being) written; empty before the first download.
    QString localPath() const { return m_localPath; }
    // The side file a segmented download writes before it becomes the installer, and its note.
    QString sidePath() const { return m_localPath + QStringLiteral(".part"); }
    bool isDownloading() const;
    // Whether the last download ran in segments (false for one stream).
    bool usedSegments() const { return m_usedSegments; }

    // The user-private folder that receives installers; tests point it elsewhere.
    void setInstallerFolder(const QString &folder) { m_installerFolder = folder; }
    QString installerFolder() const;
    void setTransferTimeoutMs(int ms) { m_transferTimeoutMs = ms; }

    // "storageclient-linux" on Linux, "storageclient-win11" on Windows.
    static QString platformChannel();
    // "<cache location>/updates".
    static QString defaultInstallerFolder();
    // Creates folder when needed and makes sure only this user can enter it. False (with a text
    // for the user) when it cannot be made private.
    static bool preparePrivateFolder(const QString &folder, QString *errorText = nullptr);
    static QString manifestUrl(const QString &channel);
    static QString downloadAreaUrl(const QString &channel);
    // Top-level "version", "path" and the first non-empty "sha512"; nothing without version or path.
    static std::optional<Manifest> parseManifest(const QString &text);
    // Dotted decimal comparison; missing or non-numeric components count as 0.
    static bool isNewer(const QString &latest, const QString &current);
    // "%1 MB/s · 剩余约 %2 秒".
    static QString speedText(double bytesPerSecond, qint64 remainingBytes);

signals:
    void checked(bool hasUpdate, QString latestVersion);
    void progress(int percent);
    void speedInfo(QString text);
    void downloaded(QString path);
    void failed(QString message);

private:
    QNetworkAccessManager *network();
    RangedFetch::Options fetchOptions();
    void onProbed(const RangedFetch::ProbeResult &probe);
    void startSingleStream();
    void startSegmented(const RangedFetch::ProbeResult &probe);
    void onSegmentsProgress(qint64 done);
    void onSegmentsFailed();
    void startAssembler(const RangedFetch::Record &record);
    void onAssembled(const InstallerAssembly &result);
    void onStreamData();
    void onStreamFinished();
    // Digest against the manifest: emits downloaded or deletes the file and emits failed.
    void finishVerified(const QByteArray &digestBase64);
    // Ends the download with message: stops every transfer and removes its files.
    void failDownload(const QString &message);
    // Stops every transfer without a signal; the generation check ignores their late events.
    void stopTransfers();
    void removeFiles();
    void reportProgress();
    void updateSpeed();

    QString m_channel;
    QString m_currentVersion;
    QString m_latestVersion;
    QString m_installerUrl;
    QString m_expectedDigest;
    QString m_localPath;
    QString m_installerFolder;
    bool m_hasUpdate = false;
    bool m_usedSegments = false;
    int m_transferTimeoutMs = TransferTimeoutMs;

    QNetworkAccessManager *m_network = nullptr;
    // Probes the installer and, when it comes in segments, fetches them.
    QPointer<RangedFetch> m_fetch;
    std::unique_ptr<Sha512Hash> m_streamHash;
    QPointer<QNetworkReply> m_streamReply;
    std::unique_ptr<QFile> m_streamFile;
    bool m_streamWriteFailed = false;
    // Digests the side file while the segments are written, then moves it into place.
    std::unique_ptr<InstallerAssembler> m_assembler;
    bool m_active = false;
    quint64 m_generation = 0; // bumped whenever the transfers of a download are dropped

    qint64 m_total = 0;
    qint64 m_downloaded = 0;
    int m_lastPercent = -1;
    QElapsedTimer m_clock;
    qint64 m_lastTick = 0;
    qint64 m_lastBytes = 0;
    double m_speed = 0;
};
