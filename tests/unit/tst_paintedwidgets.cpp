#include "ui/capbutton.h"
#include "ui/svgicon.h"
#include "ui/titlebarbutton.h"

#include <QImage>
#include <QTest>

namespace {

// Renders a button onto white, in the state the test has set up.
QImage renderOnWhite(QWidget &widget)
{
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

void hover(QWidget &widget, bool on)
{
    widget.setAttribute(Qt::WA_UnderMouse, on);
}

bool isTransparent(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                return false;
    return true;
}

} // namespace

class TstPaintedWidgets : public QObject
{
    Q_OBJECT

private slots:
    void svgIconSizeFollowsDevicePixelRatio();
    void svgIconPaintsInTheGivenColour();
    void svgIconWithBadPathIsTransparent();
    void titleBarCloseTurnsRedWithWhiteCrossUnderMouse();
    void titleBarMinimiseIsDarkerPressedThanHovered();
    void capButtonHoverBackgroundOnlyWhileHovered();
};

void TstPaintedWidgets::svgIconSizeFollowsDevicePixelRatio()
{
    const QPixmap hiDpi = svgIcon(SvgPaths::bell, 18, QColor(0x1a, 0x2a, 0x4a), 1.5);
    QCOMPARE(hiDpi.size(), QSize(27, 27));
    QCOMPARE(hiDpi.devicePixelRatio(), 1.5);

    const QPixmap plain = svgIcon(SvgPaths::bell, 18, QColor(0x1a, 0x2a, 0x4a), 1.0);
    QCOMPARE(plain.size(), QSize(18, 18));
    QCOMPARE(plain.devicePixelRatio(), 1.0);

    QCOMPARE(svgIcon(SvgPaths::check, 1, Qt::black, 1.0).size(), QSize(1, 1));
    QCOMPARE(svgIcon(SvgPaths::check, 0, Qt::black, 1.0).size(), QSize(1, 1));
}

void TstPaintedWidgets::svgIconPaintsInTheGivenColour()
{
    const QColor gold(0xc9, 0xa8, 0x4c);
    const QImage image = svgIcon(SvgPaths::check, 64, gold, 1.0).toImage();
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() == 255) {
                ++opaque;
                QCOMPARE(c.rgb(), gold.rgb());
            }
        }
    }
    QVERIFY(opaque > 100);
    // The tick runs from lower middle to upper right: the top-left corner stays empty.
    QCOMPARE(image.pixelColor(2, 2).alpha(), 0);
}

void TstPaintedWidgets::svgIconWithBadPathIsTransparent()
{
    QVERIFY(isTransparent(svgIcon(QLatin1String("not a path"), 32, Qt::red, 1.0).toImage()));
    // Markup smuggled in through the path must not become a shape of its own.
    QVERIFY(isTransparent(
        svgIcon(QLatin1String("M0 0\"/><rect width=\"1024\" height=\"1024\"/><path d=\"M0 0"), 32, Qt::red, 1.0)
            .toImage()));
}

void TstPaintedWidgets::titleBarCloseTurnsRedWithWhiteCrossUnderMouse()
{
    TitleBarButton close(1);
    QCOMPARE(close.size(), QSize(30, 26));
    QCOMPARE(close.toolTip(), QStringLiteral("退出程序"));
    QCOMPARE(close.focusPolicy(), Qt::NoFocus);
    QCOMPARE(TitleBarButton(0).toolTip(), QStringLiteral("最小化"));

    const QImage idle = renderOnWhite(close);
    QCOMPARE(idle.pixelColor(3, 13), QColor(Qt::white));
    QVERIFY(idle.pixelColor(15, 13).lightness() < 160); // the grey cross

    hover(close, true);
    const QImage hot = renderOnWhite(close);
    QCOMPARE(hot.pixelColor(3, 13), QColor(196, 43, 28));
    QVERIFY(hot.pixelColor(15, 13).lightness() > 200); // the white cross
}

void TstPaintedWidgets::titleBarMinimiseIsDarkerPressedThanHovered()
{
    TitleBarButton minimise(0);
    hover(minimise, true);
    const QColor hovered = renderOnWhite(minimise).pixelColor(3, 5);
    minimise.setDown(true);
    const QColor pressed = renderOnWhite(minimise).pixelColor(3, 5);
    QVERIFY(hovered.lightness() < 255);
    QVERIFY2(pressed.lightness() < hovered.lightness(), qPrintable(pressed.name() + hovered.name()));
}

void TstPaintedWidgets::capButtonHoverBackgroundOnlyWhileHovered()
{
    CapButton close(2);
    QCOMPARE(close.size(), QSize(44, 40));
    QVERIFY(close.text().isEmpty());

    QCOMPARE(renderOnWhite(close).pixelColor(1, 1), QColor(Qt::white));
    close.setDown(true); // pressing alone changes nothing
    QCOMPARE(renderOnWhite(close).pixelColor(1, 1), QColor(Qt::white));
    close.setDown(false);

    hover(close, true);
    const QImage hot = renderOnWhite(close);
    QCOMPARE(hot.pixelColor(1, 1), QColor(192, 57, 43));
    QVERIFY(hot.pixelColor(22, 20).lightness() > 200);

    CapButton maximise(1);
    const QImage idle = renderOnWhite(maximise);
    // Gold square outline: its left edge at cx - 5.
    const QColor edge = idle.pixelColor(17, 20);
    QVERIFY2(edge.red() > edge.blue() + 40, qPrintable(edge.name()));
    QCOMPARE(idle.pixelColor(22, 20), QColor(Qt::white)); // hollow
}

QTEST_MAIN(TstPaintedWidgets)
#include "tst_paintedwidgets.moc"
