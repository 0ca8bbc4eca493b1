#include "modalanswer.h"
#include "ui/carddialog.h"
#include "ui/cardstyle.h"
#include "ui/cdlg.h"
#include "ui/progresscard.h"
#include "ui/roundedcard.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

using Cdlg::CardDialog;

namespace {

enum class Exit { Ok, Cancel, Close, Escape, ReturnInField };

// Leaves a card dialog the way a user would.
void leave(QDialog *dialog, Exit exit)
{
    switch (exit) {
    case Exit::Ok:
        QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("cdOk")), Qt::LeftButton);
        break;
    case Exit::Cancel:
        QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("cdCancel")), Qt::LeftButton);
        break;
    case Exit::Close:
        QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("cdClose")), Qt::LeftButton);
        break;
    case Exit::Escape:
        QTest::keyClick(dialog, Qt::Key_Escape);
        break;
    case Exit::ReturnInField:
        QTest::keyClick(dialog->findChild<QLineEdit *>(QStringLiteral("cdInput")), Qt::Key_Return);
        break;
    }
}

QList<QPushButton *> footerButtons(QDialog *dialog)
{
    auto *footer = dialog->findChild<QFrame *>(QStringLiteral("cdFooter"));
    return footer ? footer->findChildren<QPushButton *>() : QList<QPushButton *>();
}

} // namespace

class TstCardDialogs : public QObject
{
    Q_OBJECT

private slots:
    void cardDialogHasOneOrTwoFooterButtons();
    void confirmIsTrueOnlyForOk_data();
    void confirmIsTrueOnlyForOk();
    void destructiveConfirmDeclinesOnReturn();
    void wrappedMessageShowsWhole_data();
    void wrappedMessageShowsWhole();
    void cardCarriesItsTitleAsWindowTitle();
    void infoReturnsOnEveryExit_data();
    void infoReturnsOnEveryExit();
    void getTextReturnsTypedTextUntrimmed_data();
    void getTextReturnsTypedTextUntrimmed();
    void getTextShowsLabelOnlyWhenGiven();
    void centredOnParentOnlyOnFirstShow();
    void progressCardEmitsCanceledAtMostOnce();
    void progressCardAcceptEmitsNothing();
    void progressCardCloseCountsAsCancel();
    void cardStyleSheetHasEveryPlaceholderFilled();
    void cardPaintsNavyBandGoldLineAndLightBody();
};

void TstCardDialogs::cardDialogHasOneOrTwoFooterButtons()
{
    CardDialog single(nullptr, QStringLiteral("标题"), false);
    QVERIFY(single.cancelButton() == nullptr);
    QCOMPARE(footerButtons(&single).size(), 1);
    QCOMPARE(single.okButton()->text(), QStringLiteral("确定"));
    QCOMPARE(single.titleLabel()->text(), QStringLiteral("标题"));
    QVERIFY(single.testAttribute(Qt::WA_TranslucentBackground));
    QVERIFY(single.windowFlags().testFlag(Qt::FramelessWindowHint));

    CardDialog pair(nullptr, QStringLiteral("标题"), true);
    QVERIFY(pair.cancelButton() != nullptr);
    QCOMPARE(pair.cancelButton()->text(), QStringLiteral("取消"));
    QCOMPARE(footerButtons(&pair).size(), 2);
    pair.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pair));
    // Buttons sit on the right, cancel before OK.
    QVERIFY(pair.cancelButton()->x() < pair.okButton()->x());
    QVERIFY(pair.okButton()->geometry().right() > pair.card()->width() / 2);
}

void TstCardDialogs::confirmIsTrueOnlyForOk_data()
{
    QTest::addColumn<Exit>("exit");
    QTest::addColumn<bool>("expected");
    QTest::newRow("ok") << Exit::Ok << true;
    QTest::newRow("cancel") << Exit::Cancel << false;
    QTest::newRow("close button") << Exit::Close << false;
    QTest::newRow("escape") << Exit::Escape << false;
}

void TstCardDialogs::confirmIsTrueOnlyForOk()
{
    QFETCH(Exit, exit);
    QFETCH(bool, expected);
    QString okText, message;
    answerModal([&](QDialog *dialog) {
        okText = dialog->findChild<QPushButton *>(QStringLiteral("cdOk"))->text();
        message = dialog->findChild<QLabel *>(QStringLiteral("cdMsg"))->text();
        leave(dialog, exit);
    });
    const bool result =
        Cdlg::confirm(nullptr, QStringLiteral("确认彻底删除"),
                      QStringLiteral("确定彻底删除「报告.pdf」吗？此操作不可恢复。"), QStringLiteral("彻底删除"));
    QCOMPARE(result, expected);
    QCOMPARE(okText, QStringLiteral("彻底删除"));
    QCOMPARE(message, QStringLiteral("确定彻底删除「报告.pdf」吗？此操作不可恢复。"));
}

void TstCardDialogs::destructiveConfirmDeclinesOnReturn()
{
    QString focused;
    answerModal([&](QDialog *dialog) {
        focused = dialog->focusWidget() ? dialog->focusWidget()->objectName() : QString();
        QTest::keyClick(dialog, Qt::Key_Return);
    });
    QVERIFY(!Cdlg::confirmDestructive(nullptr, QStringLiteral("确认彻底删除"),
                                      QStringLiteral("确定彻底删除「报告.pdf」吗？此操作不可恢复。"),
                                      QStringLiteral("彻底删除")));
    QCOMPARE(focused, QStringLiteral("cdCancel"));

    // The OK button still works when chosen on purpose.
    answerModal([](QDialog *dialog) { leave(dialog, Exit::Ok); });
    QVERIFY(Cdlg::confirmDestructive(nullptr, QStringLiteral("解散团队"), QStringLiteral("确定？"),
                                     QStringLiteral("解散")));
}

void TstCardDialogs::wrappedMessageShowsWhole_data()
{
    QTest::addColumn<bool>("question");
    QTest::addColumn<QString>("message");
    QTest::newRow("update offer") << true
                                  << QStringLiteral("发现新版本 v2.2.0，是否立即下载？\n（下载完成后将弹出安装向导，"
                                                    "按提示手动完成安装）\n\n当前版本：v2.1.23");
    QTest::newRow("one word") << false << QStringLiteral("好");
    QTest::newRow("long server text") << false << QStringLiteral("服务器暂时无法处理您的请求，").repeated(12);
    QTest::newRow("many lines") << true << QStringLiteral("第一行\n").repeated(14) + QStringLiteral("最后一行");
    QTest::newRow("unbroken name") << false << QStringLiteral("无法打开：") + QString(90, QLatin1Char('x'));
}

void TstCardDialogs::wrappedMessageShowsWhole()
{
    QFETCH(bool, question);
    QFETCH(QString, message);
    bool checked = false;
    int labelHeight = 0;
    int neededHeight = 0;
    bool aboveFooter = false;
    bool footerInside = false;
    // Measured inside, judged after the card is gone: a failure must not leave it open.
    answerModal([&](QDialog *dialog) {
        auto *label = dialog->findChild<QLabel *>(QStringLiteral("cdMsg"));
        auto *footer = dialog->findChild<QFrame *>(QStringLiteral("cdFooter"));
        const QRect labelRect(label->mapTo(dialog, QPoint(0, 0)), label->size());
        const QRect footerRect(footer->mapTo(dialog, QPoint(0, 0)), footer->size());
        labelHeight = label->height();
        neededHeight = label->heightForWidth(label->width());
        aboveFooter = labelRect.bottom() < footerRect.top();
        footerInside = dialog->rect().contains(footerRect);
        checked = true;
        dialog->reject();
    });
    if (question)
        Cdlg::confirm(nullptr, QStringLiteral("发现新版本"), message, QStringLiteral("立即下载"));
    else
        Cdlg::info(nullptr, QStringLiteral("提示"), message);
    QVERIFY(checked);
    QVERIFY2(labelHeight >= neededHeight, qPrintable(QStringLiteral("%1 < %2").arg(labelHeight).arg(neededHeight)));
    QVERIFY(aboveFooter);
    QVERIFY(footerInside);
}

void TstCardDialogs::cardCarriesItsTitleAsWindowTitle()
{
    QString title;
    answerModal([&](QDialog *dialog) {
        title = dialog->windowTitle();
        dialog->reject();
    });
    Cdlg::info(nullptr, QStringLiteral("检查更新"), QStringLiteral("当前已是最新版本"));
    QCOMPARE(title, QStringLiteral("检查更新"));
}

void TstCardDialogs::infoReturnsOnEveryExit_data()
{
    QTest::addColumn<Exit>("exit");
    QTest::newRow("ok") << Exit::Ok;
    QTest::newRow("close button") << Exit::Close;
    QTest::newRow("escape") << Exit::Escape;
}

void TstCardDialogs::infoReturnsOnEveryExit()
{
    QFETCH(Exit, exit);
    QString okText;
    qsizetype buttons = 0;
    int width = 0;
    answerModal([&](QDialog *dialog) {
        okText = dialog->findChild<QPushButton *>(QStringLiteral("cdOk"))->text();
        buttons = footerButtons(dialog).size();
        width = dialog->width();
        leave(dialog, exit);
    });
    Cdlg::info(nullptr, QStringLiteral("提示"), QStringLiteral("请先选择要操作的文件"));
    QCOMPARE(okText, QStringLiteral("知道了"));
    QCOMPARE(buttons, 1);
    QCOMPARE(width, 380);
    QVERIFY(QApplication::activeModalWidget() == nullptr);
}

void TstCardDialogs::getTextReturnsTypedTextUntrimmed_data()
{
    QTest::addColumn<Exit>("exit");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("ok") << Exit::Ok << true;
    QTest::newRow("return in field") << Exit::ReturnInField << true;
    QTest::newRow("cancel") << Exit::Cancel << false;
    QTest::newRow("close button") << Exit::Close << false;
    QTest::newRow("escape") << Exit::Escape << false;
}

void TstCardDialogs::getTextReturnsTypedTextUntrimmed()
{
    QFETCH(Exit, exit);
    QFETCH(bool, accepted);
    QString selectedAtStart;
    bool clearButton = false;
    answerModal([&](QDialog *dialog) {
        auto *input = dialog->findChild<QLineEdit *>(QStringLiteral("cdInput"));
        selectedAtStart = input->selectedText();
        clearButton = input->isClearButtonEnabled();
        // The initial text is selected, so typing replaces it.
        QTest::keyClicks(input, QStringLiteral("  Q3 report  "));
        leave(dialog, exit);
    });
    bool ok = !accepted;
    const QString text = Cdlg::getText(nullptr, QStringLiteral("新建文件夹"), QStringLiteral("名称："),
                                       QStringLiteral("旧名称"), QStringLiteral("创建"), &ok);
    QCOMPARE(selectedAtStart, QStringLiteral("旧名称"));
    QVERIFY(clearButton);
    QCOMPARE(ok, accepted);
    QCOMPARE(text, accepted ? QStringLiteral("  Q3 report  ") : QString());
}

void TstCardDialogs::getTextShowsLabelOnlyWhenGiven()
{
    bool hadLabel = true;
    answerModal([&](QDialog *dialog) {
        hadLabel = dialog->findChild<QLabel *>(QStringLiteral("cdFieldLabel")) != nullptr;
        leave(dialog, Exit::Ok);
    });
    // No ok pointer: must not crash, and the untouched initial text comes back.
    QCOMPARE(
        Cdlg::getText(nullptr, QStringLiteral("创建团队"), QString(), QStringLiteral("研发部"), QStringLiteral("创建")),
        QStringLiteral("研发部"));
    QVERIFY(!hadLabel);

    QString labelText;
    answerModal([&](QDialog *dialog) {
        labelText = dialog->findChild<QLabel *>(QStringLiteral("cdFieldLabel"))->text();
        leave(dialog, Exit::Cancel);
    });
    Cdlg::getText(nullptr, QStringLiteral("创建团队"), QStringLiteral("团队名称（1-50 字）："), QString(),
                  QStringLiteral("创建"));
    QCOMPARE(labelText, QStringLiteral("团队名称（1-50 字）："));
}

void TstCardDialogs::centredOnParentOnlyOnFirstShow()
{
    QWidget window;
    window.setGeometry(100, 120, 800, 600);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    CardDialog dialog(&window, QStringLiteral("标题"), true);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QPoint centre = window.geometry().center();
    QCOMPARE(dialog.pos(), QPoint(centre.x() - dialog.width() / 2, centre.y() - dialog.height() / 2));

    const QPoint firstPos = dialog.pos();
    dialog.hide();
    window.move(400, 300);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.pos(), firstPos);
}

void TstCardDialogs::progressCardEmitsCanceledAtMostOnce()
{
    QWidget owner;
    Cdlg::ProgressCard card(QStringLiteral("下载更新"), &owner, QStringLiteral("取消"),
                            QStringLiteral("正在准备下载…"));
    QCOMPARE(card.okButton()->text(), QStringLiteral("取消"));
    QCOMPARE(card.messageLabel()->text(), QStringLiteral("正在准备下载…"));
    QCOMPARE(card.progressBar()->minimum(), 0);
    QCOMPARE(card.progressBar()->maximum(), 100);
    QCOMPARE(card.progressBar()->value(), 0);
    QCOMPARE(card.width(), 420);
    QVERIFY(card.cancelButton() == nullptr);

    QSignalSpy canceled(&card, &Cdlg::ProgressCard::canceled);
    QSignalSpy accepted(&card, &QDialog::accepted);
    card.show();
    QVERIFY(QTest::qWaitForWindowExposed(&card));
    QTest::mouseClick(card.okButton(), Qt::LeftButton);
    QVERIFY(!card.isVisible());
    QCOMPARE(canceled.count(), 1);
    // The button cancels: it must not also report acceptance.
    QCOMPARE(accepted.count(), 0);
    QCOMPARE(card.result(), int(QDialog::Rejected));

    // Reused by its owner: shown again, then rejected again with Esc and with the close button.
    card.progressBar()->setValue(0);
    card.show();
    QVERIFY(QTest::qWaitForWindowExposed(&card));
    QTest::keyClick(&card, Qt::Key_Escape);
    QVERIFY(!card.isVisible());
    card.show();
    QTest::mouseClick(card.findChild<QPushButton *>(QStringLiteral("cdClose")), Qt::LeftButton);
    QVERIFY(!card.isVisible());
    QCOMPARE(canceled.count(), 1);
}

void TstCardDialogs::progressCardAcceptEmitsNothing()
{
    QWidget owner;
    Cdlg::ProgressCard card(QStringLiteral("下载更新"), &owner, QStringLiteral("取消"), QString());
    QSignalSpy canceled(&card, &Cdlg::ProgressCard::canceled);
    card.show();
    card.accept();
    QVERIFY(!card.isVisible());
    QCOMPARE(canceled.count(), 0);
}

void TstCardDialogs::progressCardCloseCountsAsCancel()
{
    QWidget owner;
    Cdlg::ProgressCard card(QStringLiteral("下载更新"), &owner, QStringLiteral("取消"), QString());
    QSignalSpy canceled(&card, &Cdlg::ProgressCard::canceled);
    card.show();
    QVERIFY(QTest::qWaitForWindowExposed(&card));
    card.close();
    QCOMPARE(canceled.count(), 1);
    card.show();
    card.close();
    QCOMPARE(canceled.count(), 1);
}

void TstCardDialogs::cardStyleSheetHasEveryPlaceholderFilled()
{
    const QString sheet = Cdlg::cardStyleSheet();
    QVERIFY2(!sheet.contains(QLatin1Char('@')), qPrintable(sheet));
    QVERIFY(sheet.contains(QStringLiteral("QLabel#cdFieldLabel { color: rgba(26,42,74,0.78);")));
    QVERIFY(sheet.contains(QStringLiteral("QLabel#cdTitle { color: #1a2a4a;")));
    QVERIFY(sheet.contains(QStringLiteral("stop:0 #ead08a, stop:0.45 #cbaa50, stop:1 #b4903b")));
    QCOMPARE(Cdlg::rgbaCss(QColor(1, 2, 3, 128)), QStringLiteral("rgba(1,2,3,0.50)"));
    QCOMPARE(Cdlg::rgbaCss(QColor(255, 255, 255)), QStringLiteral("rgba(255,255,255,1.00)"));

    CardDialog dialog(nullptr, QStringLiteral("标题"), false);
    QCOMPARE(dialog.objectName(), QStringLiteral("CardDlg"));
    QCOMPARE(dialog.styleSheet(), sheet);
}

void TstCardDialogs::cardPaintsNavyBandGoldLineAndLightBody()
{
    Cdlg::RoundedCard card;
    card.resize(300, 200);
    QImage image(card.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    card.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);

    const QColor band = image.pixelColor(150, 2);
    QVERIFY2(band.blue() > band.red() && band.lightness() < 80, qPrintable(band.name()));
    const QColor gold = image.pixelColor(150, 6);
    QVERIFY2(gold.red() > 180 && gold.blue() < 130, qPrintable(gold.name()));
    const QColor body = image.pixelColor(150, 100);
    QVERIFY2(body.lightness() > 245 && body.alpha() == 255, qPrintable(body.name()));
    // Rounded corners stay transparent.
    QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
    QCOMPARE(image.pixelColor(299, 199).alpha(), 0);
}

QTEST_MAIN(TstCardDialogs)
#include "tst_carddialogs.moc"
