#include "billing/qrpng.h"

#include <QtEndian>
#include <array>
#include <qrencode.h>

namespace tvr::server {

namespace {

const std::array<quint32, 256> &crcTable()
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

quint32 crc32(const QByteArray &bytes)
{
    quint32 c = 0xFFFFFFFFu;
    for (char byte : bytes)
        c = crcTable()[(c ^ quint8(byte)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void appendBigEndian(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

void appendChunk(QByteArray &png, const char type[4], const QByteArray &data)
{
    appendBigEndian(png, quint32(data.size()));
    QByteArray typed(type, 4);
    typed.append(data);
    png.append(typed);
    appendBigEndian(png, crc32(typed));
}

} // namespace

QByteArray QrPng::greyscalePng(int width, int height, const QByteArray &pixels)
{
    if (width <= 0 || height <= 0 || pixels.size() != qsizetype(width) * height)
        return {};
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    QByteArray ihdr;
    appendBigEndian(ihdr, quint32(width));
    appendBigEndian(ihdr, quint32(height));
    ihdr.append(char(8)); // bit depth
    ihdr.append(char(0)); // colour type: greyscale
    ihdr.append(char(0)); // compression: deflate
    ihdr.append(char(0)); // filter method
    ihdr.append(char(0)); // no interlace
    appendChunk(png, "IHDR", ihdr);

    QByteArray raw;
    raw.reserve((width + 1) * height);
    for (int y = 0; y < height; ++y) {
        raw.append(char(0)); // filter type "none" for every row
        raw.append(pixels.constData() + qsizetype(y) * width, width);
    }
    // qCompress yields a zlib stream behind a 4-byte length prefix; PNG wants the zlib stream.
    appendChunk(png, "IDAT", qCompress(raw, 9).mid(4));
    appendChunk(png, "IEND", QByteArray());
    return png;
}

QByteArray QrPng::encode(const QByteArray &text)
{
    QRcode *code = QRcode_encodeString8bit(text.constData(), 0, QR_ECLEVEL_M);
    if (!code)
        return {};
    const int modules = code->width + 2 * QuietModules;
    const int side = modules * ModulePixels;
    QByteArray pixels(qsizetype(side) * side, char(255));
    for (int my = 0; my < code->width; ++my) {
        for (int mx = 0; mx < code->width; ++mx) {
            if (!(code->data[my * code->width + mx] & 1))
                continue;
            const int x0 = (mx + QuietModules) * ModulePixels;
            const int y0 = (my + QuietModules) * ModulePixels;
            for (int y = y0; y < y0 + ModulePixels; ++y)
                std::fill_n(pixels.data() + qsizetype(y) * side + x0, ModulePixels, char(0));
        }
    }
    QRcode_free(code);
    return greyscalePng(side, side, pixels);
}

QString QrPng::dataUrl(const QByteArray &text)
{
    const QByteArray png = encode(text);
    if (png.isEmpty())
        return {};
    return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
}

} // namespace tvr::server
