#pragma once

#include "http/httpmessage.h"
#include "http/router.h"

#include <QString>
#include <optional>

namespace tvr::server {

// The public download area for client updates: DIR/<channel>/latest.yml and the installers
// beside it, served under "/downloads/<channel>/<file>" without sign-in, with byte ranges so
// a client can fetch an installer in parallel segments and resume.
class UpdateArea final
{
public:
    static constexpr char DemoChannel[] = "storageclient-win11";
    static constexpr char DemoLinuxChannel[] = "storageclient-linux";
    static constexpr char DemoVersion[] = "2.2.0";

    explicit UpdateArea(const QString &root);

    // The area's folder: the configured one, else "downloads" in the data folder.
    static QString rootFor(const QString &configured, const QString &dataDir);

    void registerRoutes(http::Router &router) const;
    // The file for a channel and a file name from a request path, or nothing when either name
    // is not a plain name or the file is not a regular file inside the area.
    std::optional<QString> resolve(const QString &channel, const QString &fileName) const;

    // Publishes a demo release on the Windows and the Linux channel (a generated installer and its
    // manifest each) unless a channel already has a manifest. Returns false when one cannot be written.
    static bool publishDemo(const QString &root);
    // The demo installer's file name on a demo channel.
    static QString demoInstallerName(const QString &channel);

    // Answers a GET or HEAD for a file on disk: 200, or 206/416 for a Range header.
    static void serveFile(const http::Request &request, http::Response &response, const QString &path,
                          const char *contentType);

private:
    void handle(const http::Request &request, http::Response &response) const;

    QString m_root;
};

} // namespace tvr::server
