#include "app/mainwindow.h"
#include "app/nativeframe.h"
#include "scriptedserver.h"
#include "ui/capbutton.h"

#include <QTest>

using Region = NativeFrame::Region;

class TestNativeFrame : public QObject
{
    Q_OBJECT

private slots:
    void regionsOfANormalWindow_data();
    void regionsOfANormalWindow();
    void maximisedWindowHasNoResizeEdges();
    void resizeEdgesFollowTheRegion();
    void mainWindowCaptionButtonsStayClickable();
};

void TestNativeFrame::regionsOfANormalWindow_data()
{
    QTest::addColumn<QPoint>("pos");
    QTest::addColumn<bool>("overButton");
    QTest::addColumn<Region>("expected");

    QTest::newRow("top-left corner") << QPoint(0, 0) << false << Region::TopLeft;
    QTest::newRow("top-left corner, inner pixel") << QPoint(5, 5) << false << Region::TopLeft;
    QTest::newRow("left band in the caption") << QPoint(3, 20) << false << Region::Left;
    QTest::newRow("left band lower down") << QPoint(5, 400) << false << Region::Left;
    QTest::newRow("caption drags") << QPoint(100, 20) << false << Region::Caption;
    QTest::newRow("caption just inside the border") << QPoint(6, 6) << false << Region::Caption;
    QTest::newRow("last caption row") << QPoint(100, 39) << false << Region::Caption;
    QTest::newRow("below the caption") << QPoint(100, 40) << false << Region::Client;
    QTest::newRow("push button in the caption") << QPoint(1100, 20) << true << Region::Client;
    QTest::newRow("push button below the caption") << QPoint(100, 300) << true << Region::Client;
    QTest::newRow("button under the top band still resizes") << QPoint(1100, 2) << true << Region::Top;
    QTest::newRow("top band") << QPoint(600, 5) << false << Region::Top;
    QTest::newRow("top-right corner") << QPoint(1179, 0) << false << Region::TopRight;
    QTest::newRow("right band") << QPoint(1174, 300) << false << Region::Right;
    QTest::newRow("just inside the right band") << QPoint(1173, 300) << false << Region::Client;
    QTest::newRow("bottom band") << QPoint(600, 754) << false << Region::Bottom;
    QTest::newRow("just above the bottom band") << QPoint(600, 753) << false << Region::Client;
    QTest::newRow("bottom-left corner") << QPoint(2, 758) << false << Region::BottomLeft;
    QTest::newRow("bottom-right corner") << QPoint(1179, 759) << false << Region::BottomRight;
    QTest::newRow("outside the window") << QPoint(600, 760) << false << Region::Client;
}

void TestNativeFrame::regionsOfANormalWindow()
{
    QFETCH(QPoint, pos);
    QFETCH(bool, overButton);
    QFETCH(Region, expected);
    QCOMPARE(NativeFrame::hitTest(pos, QSize(1180, 760), false, overButton), expected);
}

void TestNativeFrame::maximisedWindowHasNoResizeEdges()
{
    const QSize size(1920, 1040);
    QCOMPARE(NativeFrame::hitTest(QPoint(0, 0), size, true, false), Region::Caption);
    QCOMPARE(NativeFrame::hitTest(QPoint(3, 20), size, true, false), Region::Caption);
    QCOMPARE(NativeFrame::hitTest(QPoint(1919, 2), size, true, true), Region::Client);
    QCOMPARE(NativeFrame::hitTest(QPoint(3, 500), size, true, false), Region::Client);
    QCOMPARE(NativeFrame::hitTest(QPoint(1919, 1039), size, true, false), Region::Client);
}

void TestNativeFrame::resizeEdgesFollowTheRegion()
{
    QCOMPARE(NativeFrame::resizeEdges(Region::TopLeft), Qt::TopEdge | Qt::LeftEdge);
    QCOMPARE(NativeFrame::resizeEdges(Region::BottomRight), Qt::BottomEdge | Qt::RightEdge);
    QCOMPARE(NativeFrame::resizeEdges(Region::Left), Qt::Edges(Qt::LeftEdge));
    QCOMPARE(NativeFrame::resizeEdges(Region::Caption), Qt::Edges());
    QCOMPARE(NativeFrame::resizeEdges(Region::Client), Qt::Edges());
    QCOMPARE(NativeFrame::cursorFor(Region::TopRight), Qt::SizeBDiagCursor);
    QCOMPARE(NativeFrame::cursorFor(Region::Bottom), Qt::SizeVerCursor);
}

void TestNativeFrame::mainWindowCaptionButtonsStayClickable()
{
    ScriptedServer server;
    QVERIFY(server.listen());
    qputenv("TVR_SERVER", server.baseUrl().toUtf8());
    server.on(QByteArray(), QStringLiteral("/api/*"), ScriptedReply::success());

    MainWindow window;
#ifndef Q_OS_WIN
    QVERIFY(window.windowFlags().testFlag(Qt::FramelessWindowHint));
#endif
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(1180, 760));
    auto *frame = window.findChild<NativeFrame *>();
    QVERIFY(frame);

    QList<CapButton *> buttons = window.findChildren<CapButton *>();
    QCOMPARE(buttons.size(), 3);
    std::sort(buttons.begin(), buttons.end(), [](CapButton *a, CapButton *b) { return a->kind() < b->kind(); });
    QCOMPARE(buttons.at(0)->toolTip(), QStringLiteral("最小化"));
    QCOMPARE(buttons.at(1)->toolTip(), QStringLiteral("最大化/还原"));
    QCOMPARE(buttons.at(2)->toolTip(), QStringLiteral("最小化到托盘"));

    const QPoint overMinimise = buttons.at(0)->mapTo(&window, buttons.at(0)->rect().center());
    QCOMPARE(frame->regionAt(overMinimise), Region::Client);
    QCOMPARE(frame->regionAt(QPoint(100, 20)), Region::Caption);
    QCOMPARE(frame->regionAt(QPoint(3, 20)), Region::Left);
    QCOMPARE(frame->regionAt(QPoint(0, 0)), Region::TopLeft);
    QCOMPARE(frame->regionAt(QPoint(600, 300)), Region::Client);

    // The maximise button toggles; maximised, no edge resizes.
    QTest::mouseClick(buttons.at(1), Qt::LeftButton);
    QTRY_VERIFY(window.isMaximized());
    QCOMPARE(frame->regionAt(QPoint(3, 20)), Region::Caption);
    QTest::mouseClick(buttons.at(1), Qt::LeftButton);
    QTRY_VERIFY(!window.isMaximized());

    // A double click on the caption band maximises and restores like the system caption.
    auto *titleBar = window.findChild<QWidget *>(QStringLiteral("MailTitleBar"));
    QTest::mouseDClick(titleBar, Qt::LeftButton, {}, QPoint(300, 20));
    QTRY_VERIFY(window.isMaximized());
    QTest::mouseDClick(titleBar, Qt::LeftButton, {}, QPoint(300, 20));
    QTRY_VERIFY(!window.isMaximized());

    QTest::mouseClick(buttons.at(0), Qt::LeftButton);
    QTRY_VERIFY(window.isMinimized());
}

QTEST_MAIN(TestNativeFrame)
#include "tst_nativeframe.moc"
