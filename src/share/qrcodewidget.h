#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

// A QR code of one text (a share link), drawn sharp at any size: navy modules on white with the
// quiet zone scanners need. Empty (and painted as nothing) while the text is empty or too long.
class QrCodeWidget final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QrCodeWidget)

public:
    // Modules of white border on each side that the standard asks for.
    static constexpr int QuietModules = 4;

    explicit QrCodeWidget(QWidget *parent = nullptr);
    ~QrCodeWidget() override;

    void setText(const QString &text);
    QString text() const { return m_text; }
    // The symbol with its quiet zone, one pixel per module; null when there is none.
    QImage moduleImage() const { return m_modules; }
    // The symbol as shown, scaled without smoothing to the largest whole module size that fits edge.
    QImage image(int edge) const;

    // Encodes text with medium error correction; null for an empty or unencodable text.
    static QImage encode(const QString &text);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_text;
    QImage m_modules;
};
