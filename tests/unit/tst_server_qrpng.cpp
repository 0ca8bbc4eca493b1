// The payment QR picture: a PNG that any decoder reads, carrying the modules of the QR code.
#include "billing/qrpng.h"

#include <QImage>
#include <QtTest>
#include <qrencode.h>

using namespace tvr::server;

class TestServerQrPng : public QObject
{
    Q_OBJECT

private slots:
    void pngDecodesToTheQrModules()
    {
        const QByteArray text = "http://127.0.0.1:8080/pay/TVR20250101120000ABCDEF";
        const QByteArray png = QrPng::encode(text);
        QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
        QImage image;
        QVERIFY(image.loadFromData(png, "PNG"));

        QRcode *code = QRcode_encodeString8bit(text.constData(), 0, QR_ECLEVEL_M);
        QVERIFY(code);
        const int side = (code->width + 2 * QrPng::QuietModules) * QrPng::ModulePixels;
        QCOMPARE(image.width(), side);
        QCOMPARE(image.height(), side);

        // Sample the centre of every module, and the quiet zone around the code.
        int mismatches = 0;
        for (int my = -QrPng::QuietModules; my < code->width + QrPng::QuietModules; ++my) {
            for (int mx = -QrPng::QuietModules; mx < code->width + QrPng::QuietModules; ++mx) {
                const bool inside = mx >= 0 && my >= 0 && mx < code->width && my < code->width;
                const bool dark = inside && (code->data[my * code->width + mx] & 1);
                const int px = (mx + QrPng::QuietModules) * QrPng::ModulePixels + QrPng::ModulePixels / 2;
                const int py = (my + QrPng::QuietModules) * QrPng::ModulePixels + QrPng::ModulePixels / 2;
                const int grey = qGray(image.pixel(px, py));
                if ((grey < 128) != dark)
                    ++mismatches;
            }
        }
        QRcode_free(code);
        QCOMPARE(mismatches, 0);
        // The top-left finder pattern starts with a dark module right after the quiet zone.
        const int corner = QrPng::QuietModules * QrPng::ModulePixels;
        QCOMPARE(qGray(image.pixel(corner, corner)), 0);
        QCOMPARE(qGray(image.pixel(corner - 1, corner - 1)), 255);
    }

    void dataUrlCarriesThePngInBase64()
    {
        const QString url = QrPng::dataUrl("https://example.invalid/pay/1");
        QVERIFY(url.startsWith(QLatin1String("data:image/png;base64,")));
        const QByteArray png = QByteArray::fromBase64(url.mid(url.indexOf(QLatin1Char(',')) + 1).toLatin1());
        QImage image;
        QVERIFY(image.loadFromData(png, "PNG"));
        QVERIFY(!image.isNull());
    }

    void textTooLongForAQrCodeGivesNothing()
    {
        QVERIFY(QrPng::encode(QByteArray(8000, 'a')).isEmpty());
        QVERIFY(QrPng::dataUrl(QByteArray(8000, 'a')).isEmpty());
        QVERIFY(QrPng::greyscalePng(2, 2, QByteArray(3, '\0')).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestServerQrPng)
#include "tst_server_qrpng.moc"
