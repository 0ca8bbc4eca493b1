#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <utility>

namespace tvr::server {

struct ServerContext;

// Real, openable sample contents for the demo account, generated at seed time: PNG pictures,
// an uncompressed AVI clip, a WAV tone, a PDF, text documents and a zip archive.
class DemoFiles final
{
public:
    static QByteArray png(int width, int height, int hue);
    static QByteArray wav(double seconds, double frequency);
    static QByteArray avi(int width, int height, int frames);
    static QByteArray pdf(const QList<QByteArray> &lines);
    // A zip of (path, content) pairs; a path ending in "/" is a folder.
    static QByteArray zip(const QList<std::pair<QString, QByteArray>> &entries);

    // Creates the demo folders and files in the account's personal space.
    static bool seed(ServerContext &ctx, qint64 userId);
};

} // namespace tvr::server
