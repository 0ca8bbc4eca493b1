#include "updates/updatearea.h"

#include "http/rangeheader.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tvr::server {

namespace {

constexpr char ManifestName[] = "latest.yml";
// Larger than the 4 MiB above which the client fetches in four ranged segments, so the demo
// release exercises that path; not a multiple of four, so the last segment is the longer one.
constexpr qint64 DemoInstallerBytes = 6 * 1024 * 1024 + 1234;

bool plainName(const QString &name)
{
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,127}$"));
    return allowed.match(name).hasMatch() && !name.contains(QLatin1String(".."));
}

void jsonError(http::Response &response, int status, const QString &message)
{
    const QJsonObject body{
        {QStringLiteral("success"), false}, {QStringLiteral("message"), message}, {QStringLiteral("error"), message}};
    response.status = status;
    response.setContent(QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString(),
                        "application/json; charset=utf-8");
}

// Deterministic filler for the demo installer: the same bytes on every machine, not compressible.
// The Linux one is a harmless self-contained program: a shell script that prints its version and
// exits before the filler that gives it a realistic size.
QByteArray demoBytes(qint64 size, bool linuxScript)
{
    QByteArray bytes;
    if (linuxScript) {
        bytes = "#!/bin/sh\necho 'Tolvar demo installer " + QByteArray(UpdateArea::DemoVersion) + "'\nexit 0\n";
    } else {
        bytes = "Tolvar demo installer ";
        bytes.append(UpdateArea::DemoVersion);
        bytes.append("\n");
    }
    quint64 state = 0x9E3779B97F4A7C15ull;
    bytes.reserve(size);
    while (bytes.size() < size) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        bytes.append(char(state & 0xFF));
    }
    bytes.truncate(size);
    return bytes;
}

bool publishDemoChannel(const QString &root, const QString &channel)
{
    QDir channelDir(QDir(root).filePath(channel));
    if (channelDir.exists(QLatin1String(ManifestName)))
        return true;
    if (!channelDir.mkpath(QStringLiteral(".")))
        return false;

    const QString installerName = UpdateArea::demoInstallerName(channel);
    const QByteArray installer = demoBytes(DemoInstallerBytes, channel == QLatin1String(UpdateArea::DemoLinuxChannel));
    QSaveFile installerFile(channelDir.filePath(installerName));
    if (!installerFile.open(QIODevice::WriteOnly) || installerFile.write(installer) != installer.size() ||
        !installerFile.commit())
        return false;

    const QByteArray sha512 = QCryptographicHash::hash(installer, QCryptographicHash::Sha512).toBase64();
    const QByteArray name = installerName.toUtf8();
    // Top-level "version", "path" and "sha512" are what clients read; the nested "files" list
    // repeats them in the common layout of such manifests. Values are left unquoted because
    // clients take them verbatim.
    QByteArray manifest;
    manifest += "version: " + QByteArray(UpdateArea::DemoVersion) + "\n";
    manifest += "files:\n";
    manifest += "  - url: " + name + "\n";
    manifest += "    sha512: " + sha512 + "\n";
    manifest += "    size: " + QByteArray::number(installer.size()) + "\n";
    manifest += "path: " + name + "\n";
    manifest += "sha512: " + sha512 + "\n";
    manifest += "releaseDate: " + QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + "\n";

    QSaveFile manifestFile(channelDir.filePath(QLatin1String(ManifestName)));
    return manifestFile.open(QIODevice::WriteOnly) && manifestFile.write(manifest) == manifest.size() &&
           manifestFile.commit();
}

} // namespace

UpdateArea::UpdateArea(const QString &root)
    : m_root(QDir(root).absolutePath())
{}

QString UpdateArea::rootFor(const QString &configured, const QString &dataDir)
{
    return configured.isEmpty() ? QDir(dataDir).filePath(QStringLiteral("downloads")) : configured;
}

void UpdateArea::registerRoutes(http::Router &router) const
{
    // The handler keeps its own copy: the area is only a folder name.
    router.get(R"(/downloads/([^/]+)/([^/]+))", [area = *this](const http::Request &request, http::Response &response) {
        area.handle(request, response);
    });
}

std::optional<QString> UpdateArea::resolve(const QString &channel, const QString &fileName) const
{
    if (!plainName(channel) || !plainName(fileName))
        return std::nullopt;
    const QString rootCanonical = QFileInfo(m_root).canonicalFilePath();
    if (rootCanonical.isEmpty())
        return std::nullopt;
    const QFileInfo info(QDir(m_root).filePath(channel + QLatin1Char('/') + fileName));
    const QString canonical = info.canonicalFilePath();
    // Links that lead out of the area are refused like any other escape.
    if (canonical.isEmpty() || !canonical.startsWith(rootCanonical + QLatin1Char('/')) ||
        !QFileInfo(canonical).isFile())
        return std::nullopt;
    return canonical;
}

void UpdateArea::handle(const http::Request &request, http::Response &response) const
{
    const QString channel = QString::fromStdString(request.matches[1]);
    const QString fileName = QString::fromStdString(request.matches[2]);
    const auto path = resolve(channel, fileName);
    if (!path) {
        jsonError(response, 404, QStringLiteral("文件不存在"));
        return;
    }
    if (fileName == QLatin1String(ManifestName)) {
        // A client must always see the current release.
        response.setHeader("Cache-Control", "no-cache");
        serveFile(request, response, *path, "text/yaml; charset=utf-8");
    } else {
        serveFile(request, response, *path, "application/octet-stream");
    }
}

void UpdateArea::serveFile(const http::Request &request, http::Response &response, const QString &path,
                           const char *contentType)
{
    const int fd = ::open(path.toUtf8().constData(), O_RDONLY | O_CLOEXEC);
    struct stat info
    {
    };
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        if (fd >= 0)
            ::close(fd);
        jsonError(response, 404, QStringLiteral("文件不存在"));
        return;
    }
    const qint64 total = info.st_size;
    const RangeHeader range = RangeHeader::parse(QByteArray::fromStdString(request.header("Range")), total);
    response.setHeader("Accept-Ranges", "bytes");
    if (range.kind == RangeHeader::Kind::Unsatisfiable) {
        ::close(fd);
        response.status = 416;
        response.setHeader("Content-Range", range.contentRange(total).toStdString());
        return;
    }
    if (range.kind == RangeHeader::Kind::Partial) {
        response.status = 206;
        response.setHeader("Content-Range", range.contentRange(total).toStdString());
        response.setFile(fd, range.first, range.length(), contentType);
    } else {
        response.status = 200;
        response.setFile(fd, 0, total, contentType);
    }
}

QString UpdateArea::demoInstallerName(const QString &channel)
{
    if (channel == QLatin1String(DemoLinuxChannel))
        return QStringLiteral("TolvarStorage-%1-x86_64.run").arg(QLatin1String(DemoVersion));
    return QStringLiteral("TolvarStorage-Setup-%1.exe").arg(QLatin1String(DemoVersion));
}

bool UpdateArea::publishDemo(const QString &root)
{
    return publishDemoChannel(root, QLatin1String(DemoChannel)) &&
           publishDemoChannel(root, QLatin1String(DemoLinuxChannel));
}

} // namespace tvr::server
