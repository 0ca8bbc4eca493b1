#include "net/machinecode.h"

#include <QCryptographicHash>
#include <QSettings>
#include <QSysInfo>

#ifdef Q_OS_WIN
#include <QProcess>
#endif

namespace {
const QString SettingsOrganization = QStringLiteral("Tolvarsoft");
const QString SettingsApplication = QStringLiteral("tolvar-storage-qt");
const QString SettingsKey = QStringLiteral("machineCode");
constexpr int DigestDigits = 16;

QString &cachedCode()
{
    static QString code;
    return code;
}

std::function<QString()> &fingerprintProvider()
{
    static std::function<QString()> provider;
    return provider;
}

// Fewer than four meaningful characters (e.g. "|||" when every serial query came back empty)
// would give every such machine the same code.
bool isUsableFingerprint(const QString &fingerprint)
{
    QString stripped = fingerprint;
    stripped.remove(QLatin1Char('|'));
    return stripped.trimmed().size() >= 4;
}

QString fallbackFingerprint()
{
    return QStringLiteral("%1|%2").arg(QString::fromUtf8(QSysInfo::machineUniqueId()), QSysInfo::machineHostName());
}
} // namespace

QString hardwareFingerprint()
{
#ifdef Q_OS_WIN
    static const QString Script =
        QStringLiteral("$ErrorActionPreference='SilentlyContinue';$c=(Get-CimInstance Win32_Processor).ProcessorId;"
                       "$b=(Get-CimInstance Win32_BIOS).SerialNumber;$m=(Get-CimInstance Win32_BaseBoard).SerialNumber;"
                       "$d=(Get-CimInstance Win32_DiskDrive|Select-Object -First 1).SerialNumber;"
                       "Write-Output ($c+'|'+$b+'|'+$m+'|'+$d)");
    constexpr int StartTimeoutMs = 5000;
    constexpr int FinishTimeoutMs = 15000;
    constexpr int KillTimeoutMs = 1000;

    QProcess process;
    process.start(QStringLiteral("powershell"), {QStringLiteral("-NoProfile"), QStringLiteral("-ExecutionPolicy"),
                                                 QStringLiteral("Bypass"), QStringLiteral("-Command"), Script});
    if (!process.waitForStarted(StartTimeoutMs))
        return {};
    if (!process.waitForFinished(FinishTimeoutMs)) {
        process.kill();
        process.waitForFinished(KillTimeoutMs);
        return {};
    }
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
#else
    // No hardware query here: the caller falls back to the machine id and host name at once.
    return {};
#endif
}

QString formatMachineCode(const QString &hex16)
{
    return QStringLiteral("MJ-%1-%2-%3-%4").arg(hex16.mid(0, 4), hex16.mid(4, 4), hex16.mid(8, 4), hex16.mid(12, 4));
}

QString computeMachineCode()
{
    QString &cache = cachedCode();
    if (!cache.isEmpty())
        return cache;

    QSettings settings(SettingsOrganization, SettingsApplication);
    const QString stored = settings.value(SettingsKey).toString();
    if (!stored.isEmpty()) {
        cache = stored;
        return cache;
    }

    const auto &provider = fingerprintProvider();
    QString fingerprint = provider ? provider() : hardwareFingerprint();
    if (!isUsableFingerprint(fingerprint))
        fingerprint = fallbackFingerprint();

    const QByteArray digest = QCryptographicHash::hash(fingerprint.toUtf8(), QCryptographicHash::Sha256).toHex();
    cache = formatMachineCode(QString::fromLatin1(digest.left(DigestDigits)).toUpper());

    // A store that cannot be written only costs a new derivation next run; the code stays usable.
    settings.setValue(SettingsKey, cache);
    settings.sync();
    return cache;
}

namespace MachineCode {
void setFingerprintProvider(std::function<QString()> provider)
{
    fingerprintProvider() = std::move(provider);
}

void resetCache()
{
    cachedCode().clear();
}
} // namespace MachineCode
