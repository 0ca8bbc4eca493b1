#include "share/qrcodewidget.h"

#include <QPainter>

#include <qrencode.h>

#include <memory>

namespace {

const QColor Dark(0x1a, 0x2a, 0x4a);
const QColor Light(0xff, 0xff, 0xff);
constexpr int PreferredEdge = 168;

} // namespace

QrCodeWidget::QrCodeWidget(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("ShareQr"));
}

QrCodeWidget::~QrCodeWidget() = default;

void QrCodeWidget::setText(const QString &text)
{
    m_text = text;
    m_modules = encode(text);
    update();
}

QImage QrCodeWidget::encode(const QString &text)
{
    if (text.isEmpty())
        return {};
    const QByteArray utf8 = text.toUtf8();
    // Version 0 lets the library pick the smallest symbol that holds the text.
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString(utf8.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), &QRcode_free);
    if (!code || code->width <= 0)
        return {};
    const int width = code->width;
    const int edge = width + 2 * QuietModules;
    QImage image(edge, edge, QImage::Format_RGB32);
    image.fill(Light);
    for (int y = 0; y < width; ++y) {
        const unsigned char *row = code->data + qsizetype(y) * width;
        for (int x = 0; x < width; ++x) {
            // Bit 0 of each byte is the module's colour; the other bits say what kind of module it is.
            if (row[x] & 1)
                image.setPixelColor(x + QuietModules, y + QuietModules, Dark);
        }
    }
    return image;
}

QImage QrCodeWidget::image(int edge) const
{
    if (m_modules.isNull() || edge <= 0)
        return {};
    const int scale = qMax(1, edge / m_modules.width());
    return m_modules.scaled(m_modules.width() * scale, m_modules.height() * scale, Qt::IgnoreAspectRatio,
                            Qt::FastTransformation);
}

QSize QrCodeWidget::sizeHint() const
{
    return {PreferredEdge, PreferredEdge};
}

void QrCodeWidget::paintEvent(QPaintEvent *)
{
    if (m_modules.isNull())
        return;
    QPainter painter(this);
    const int edge = qMin(width(), height());
    painter.fillRect(rect(), Light);
    // Whole pixels per module keep the edges crisp for a phone camera.
    const QImage shown = image(edge);
    painter.drawImage(QPoint((width() - shown.width()) / 2, (height() - shown.height()) / 2), shown);
}
