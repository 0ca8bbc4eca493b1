#pragma once

#include <QByteArray>
#include <QString>

namespace tvr::server {

// A QR code as a PNG image, for the payment page link the client shows for scanning.
class QrPng final
{
public:
    static constexpr int ModulePixels = 6; // pixels per QR module
    static constexpr int QuietModules = 4; // white border, in modules, that scanners need

    // The PNG bytes of a QR code (error correction level M) for the text; empty when the text
    // does not fit in a QR code.
    static QByteArray encode(const QByteArray &text);
    // The same image as "data:image/png;base64,...", or empty.
    static QString dataUrl(const QByteArray &text);
    // A minimal 8-bit greyscale PNG of the given rows (width bytes each, 0 black, 255 white).
    static QByteArray greyscalePng(int width, int height, const QByteArray &pixels);
};

} // namespace tvr::server
