#include "app/lightdialogfilter.h"
#include "app/plainlabelfilter.h"
#include "app/startup.h"
#include "app/theme.h"
#include "modalanswer.h"
#include "ui/carddialog.h"
#include "ui/cdlg.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLibraryInfo>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>
#include <QVBoxLayout>

namespace {

const QColor kPageGrey(0xf5, 0xf7, 0xfa);

QStringList g_warnings;
void collectWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtWarningMsg || type == QtCriticalMsg)
        g_warnings << message;
}

QColor centrePixel(QWidget &widget)
{
    const QImage image = widget.grab().toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

// Just inside the left edge, clear of rounded corners and of any text.
QColor leftEdgePixel(QWidget &widget)
{
    const QImage image = widget.grab().toImage();
    return image.pixelColor(4, image.height() / 2);
}

void removeTranslators()
{
    for (QTranslator *translator : qApp->findChildren<QTranslator *>()) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
}

} // namespace

class TstTheme : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void identityAndQuitOnLastWindowOff();
    void pluginCandidatesSkipEmptyFrameworkPath();
    void pluginPathsAddedOnceAndOnlyWhenTheyExist();
    void firstEmbeddedTranslationIsTheOnlyOneInstalled();
    void laterTranslationCandidateLoadsWhenEarlierOnesAreMissing();
    void noTranslationInstallsNothing();
    void globalStyleSheetParsesAndStylesNamedWidgets();
    void scrollBarsAreHidden();
    void disabledFieldsAndDangerButtonsLookDisabled();
    void keyboardFocusIsVisible();
    void plainDialogsShowLightEvenUnderDarkPalette();
    void filterSkipsTranslucentAndSelfStyledDialogs();
    void serverTextsInLabelsAreNeverReadAsHtml();
    void embeddedArtworkLoads();
    void fileIconsAreDistinctAtListSizes();
};

void TstTheme::cleanup()
{
    removeTranslators();
    qApp->setStyleSheet(QString());
}

void TstTheme::identityAndQuitOnLastWindowOff()
{
    Theme::setIdentity(*qApp);
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("tolvar-storage-qt"));
    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Tolvarsoft"));
    QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("2.1.23"));
    // The installed desktop entry and icon carry this name.
    QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("cn.tolvar.Storage"));
    QVERIFY(!QApplication::windowIcon().isNull());
    QVERIFY(!QApplication::quitOnLastWindowClosed());
}

void TstTheme::pluginCandidatesSkipEmptyFrameworkPath()
{
    QCOMPARE(Theme::pluginCandidates(QStringLiteral("/opt/qt/plugins"), QString()),
             QStringList{QStringLiteral("/opt/qt/plugins")});
    QCOMPARE(Theme::pluginCandidates(QStringLiteral("/opt/qt/plugins"), QStringLiteral("/usr/lib/qt6/plugins")),
             (QStringList{QStringLiteral("/opt/qt/plugins"), QStringLiteral("/usr/lib/qt6/plugins")}));
    QVERIFY(Theme::pluginCandidates(QString(), QString()).isEmpty());
    // This build knows a fixed directory and the framework reports one.
    QVERIFY(Theme::defaultPluginCandidates().contains(QLibraryInfo::path(QLibraryInfo::PluginsPath)));
}

void TstTheme::pluginPathsAddedOnceAndOnlyWhenTheyExist()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString missing = dir.path() + QStringLiteral("/missing");
    const QStringList added = Theme::addPluginPaths({dir.path(), missing, dir.path()});
    QCOMPARE(added, QStringList{dir.path()});
    QCOMPARE(QCoreApplication::libraryPaths().count(dir.path()), 1);
    QVERIFY(!QCoreApplication::libraryPaths().contains(missing));
    QVERIFY(Theme::addPluginPaths({dir.path()}).isEmpty());
    QCOMPARE(QCoreApplication::libraryPaths().count(dir.path()), 1);
    QCoreApplication::removeLibraryPath(dir.path());
}

void TstTheme::firstEmbeddedTranslationIsTheOnlyOneInstalled()
{
    QCOMPARE(Theme::translationCandidates(QStringLiteral("/tr")),
             (QStringList{QStringLiteral(":/resources/qtbase_zh_CN.qm"), QStringLiteral(":/resources/qt_zh_CN.qm"),
                          QStringLiteral("/tr/qtbase_zh_CN.qm"), QStringLiteral("/tr/qt_zh_CN.qm")}));

    QCOMPARE(Theme::installTranslation(*qApp), QStringLiteral(":/resources/qtbase_zh_CN.qm"));
    QCOMPARE(qApp->findChildren<QTranslator *>().size(), 1);
    // The framework's own texts are now Chinese.
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));
}

void TstTheme::laterTranslationCandidateLoadsWhenEarlierOnesAreMissing()
{
    const QString frameworkQt = QLibraryInfo::path(QLibraryInfo::TranslationsPath) + QStringLiteral("/qt_zh_CN.qm");
    const QStringList candidates{QStringLiteral(":/resources/none.qm"), QStringLiteral("/nonexistent/x.qm"),
                                 QStringLiteral(":/resources/qtbase_zh_CN.qm"), frameworkQt};
    QCOMPARE(Theme::installTranslation(*qApp, candidates), QStringLiteral(":/resources/qtbase_zh_CN.qm"));
    QCOMPARE(qApp->findChildren<QTranslator *>().size(), 1);
}

void TstTheme::noTranslationInstallsNothing()
{
    QVERIFY(Theme::installTranslation(*qApp, {QStringLiteral("/nonexistent/a.qm")}).isEmpty());
    QVERIFY(qApp->findChildren<QTranslator *>().isEmpty());
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
}

void TstTheme::disabledFieldsAndDangerButtonsLookDisabled()
{
    qApp->setStyleSheet(Theme::globalStyleSheet());
    QWidget host;
    auto *column = new QVBoxLayout(&host);
    auto *enabledBox = new QSpinBox(&host);
    auto *disabledBox = new QSpinBox(&host);
    disabledBox->setEnabled(false);
    auto *danger = new QPushButton(QStringLiteral("彻底删除选中 (0)"), &host);
    danger->setObjectName(QStringLiteral("Danger"));
    danger->setEnabled(false);
    for (QWidget *widget :
         {static_cast<QWidget *>(enabledBox), static_cast<QWidget *>(disabledBox), static_cast<QWidget *>(danger)})
        column->addWidget(widget);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));

    // A field that takes no input must not wear the white of one that does.
    const QImage on = enabledBox->grab().toImage();
    const QImage off = disabledBox->grab().toImage();
    const QPoint inside(on.width() - 6, on.height() / 2);
    QVERIFY(on.pixelColor(inside) != off.pixelColor(inside));
    QCOMPARE(off.pixelColor(inside), QColor(0xf5, 0xf6, 0xf8));

    // A disabled danger button keeps no red: neither text nor border.
    const QImage button = danger->grab().toImage();
    int reddish = 0;
    for (int y = 0; y < button.height(); ++y) {
        for (int x = 0; x < button.width(); ++x) {
            const QColor colour = button.pixelColor(x, y);
            if (colour.red() > colour.green() + 40)
                ++reddish;
        }
    }
    QCOMPARE(reddish, 0);
}

void TstTheme::keyboardFocusIsVisible()
{
    qApp->setStyleSheet(Theme::globalStyleSheet());
    QWidget host;
    auto *column = new QVBoxLayout(&host);
    QList<QPushButton *> buttons;
    for (const char *name : {"GoldBtn", "SideFootItem", "LogoutBtn", "Link"}) {
        auto *button = new QPushButton(QStringLiteral("上传文件"), &host);
        button->setObjectName(QLatin1String(name));
        button->setFocusPolicy(Qt::StrongFocus);
        column->addWidget(button);
        buttons.append(button);
    }
    auto *other = new QPushButton(QStringLiteral("别处"), &host);
    column->addWidget(other);
    host.show();
    host.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&host));
    for (QPushButton *button : std::as_const(buttons)) {
        other->setFocus();
        QTRY_VERIFY(other->hasFocus());
        const QImage without = button->grab().toImage();
        button->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(button->hasFocus());
        QVERIFY2(button->grab().toImage() != without, qPrintable(button->objectName()));
    }
}

void TstTheme::globalStyleSheetParsesAndStylesNamedWidgets()
{
    QCOMPARE(Theme::globalStyleSheet(), Theme::baseStyleSheet() + Theme::extensionStyleSheet());

    g_warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectWarnings);
    Theme::installTheme(*qApp);

    QWidget page;
    page.resize(100, 100);
    QPushButton primary(QStringLiteral("上传"));
    primary.setObjectName(QStringLiteral("Primary"));
    QPushButton gold(QStringLiteral("购买"));
    gold.setObjectName(QStringLiteral("GoldBtn"));
    QPushButton plain(QStringLiteral("刷新"));
    QFrame card;
    card.setObjectName(QStringLiteral("Card"));
    card.resize(80, 60);
    QMainWindow window;
    window.resize(80, 60);
    const QColor primaryColour = leftEdgePixel(primary);
    const QColor goldColour = leftEdgePixel(gold);
    const QColor plainColour = leftEdgePixel(plain);
    const QColor cardColour = centrePixel(card);
    const QColor windowColour = centrePixel(window);
    qInstallMessageHandler(previous);

    QVERIFY2(g_warnings.isEmpty(), qPrintable(g_warnings.join(QLatin1Char('\n'))));
    QCOMPARE(primaryColour, QColor(0x16, 0x77, 0xff));
    QCOMPARE(goldColour, QColor(0xc9, 0xa8, 0x4c));
    QCOMPARE(plainColour, QColor(Qt::white));
    QCOMPARE(cardColour, QColor(Qt::white));
    QCOMPARE(windowColour, kPageGrey);
}

void TstTheme::scrollBarsAreHidden()
{
    Theme::installTheme(*qApp);
    QScrollArea area;
    area.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    area.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto *content = new QWidget;
    content->setMinimumSize(1000, 1000);
    area.setWidget(content);
    area.resize(200, 200);
    area.show();
    QVERIFY(QTest::qWaitForWindowExposed(&area));
    QCOMPARE(area.verticalScrollBar()->width(), 0);
    QCOMPARE(area.horizontalScrollBar()->height(), 0);
}

void TstTheme::plainDialogsShowLightEvenUnderDarkPalette()
{
    Theme::LightDialogFilter filter;
    qApp->installEventFilter(&filter);
    const QPalette saved = QApplication::palette();
    QPalette dark = saved;
    dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::WindowText, Qt::white);
    QApplication::setPalette(dark);

    QDialog dialog;
    dialog.resize(200, 120);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.styleSheet(), Theme::lightDialogStyleSheet());
    QCOMPARE(dialog.palette().color(QPalette::Window), kPageGrey);
    QCOMPARE(dialog.palette().color(QPalette::Highlight), QColor(0x16, 0x77, 0xff));
    QCOMPARE(centrePixel(dialog), kPageGrey);

    QMessageBox box(QMessageBox::Information, QStringLiteral("提示"), QStringLiteral("操作完成"));
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QCOMPARE(box.styleSheet(), Theme::lightDialogStyleSheet());
    QCOMPARE(leftEdgePixel(box), kPageGrey);

    // A second show keeps the same look.
    dialog.hide();
    dialog.show();
    QCOMPARE(dialog.styleSheet(), Theme::lightDialogStyleSheet());

    QApplication::setPalette(saved);
    qApp->removeEventFilter(&filter);
}

void TstTheme::serverTextsInLabelsAreNeverReadAsHtml()
{
    Theme::PlainLabelFilter filter;
    qApp->installEventFilter(&filter);
    const QString hostile = QStringLiteral("<h1 style='color:red'>已支付</h1><img src='x.png'>");

    QWidget window;
    auto *name = new QLabel(hostile, &window);
    auto *own = new QLabel(QStringLiteral("<b>粗体</b>"), &window);
    own->setTextFormat(Qt::RichText);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(name->textFormat(), Qt::PlainText);
    QCOMPARE(name->text(), hostile);
    QCOMPARE(own->textFormat(), Qt::RichText);

    // Card messages carry server texts too, and are plain even without the filter.
    qApp->removeEventFilter(&filter);
    answerModal([](QDialog *dialog) {
        auto *message = dialog->findChild<QLabel *>(QStringLiteral("cdMsg"));
        QVERIFY(message);
        QCOMPARE(message->textFormat(), Qt::PlainText);
        dialog->accept();
    });
    Cdlg::info(nullptr, QStringLiteral("上传失败"), hostile);
}

void TstTheme::filterSkipsTranslucentAndSelfStyledDialogs()
{
    Theme::LightDialogFilter filter;
    qApp->installEventFilter(&filter);

    QDialog translucent;
    translucent.setAttribute(Qt::WA_TranslucentBackground);
    translucent.show();
    QVERIFY(translucent.styleSheet().isEmpty());

    QDialog own;
    own.setStyleSheet(QStringLiteral("QDialog { background: #102030; }"));
    own.show();
    QCOMPARE(own.styleSheet(), QStringLiteral("QDialog { background: #102030; }"));

    Cdlg::CardDialog card(nullptr, QStringLiteral("标题"), false);
    const QString cardSheet = card.styleSheet();
    card.show();
    QCOMPARE(card.styleSheet(), cardSheet);

    QWidget notADialog;
    notADialog.show();
    QVERIFY(notADialog.styleSheet().isEmpty());

    // Never swallows an event, not even the ones it acts on.
    QDialog plain;
    QShowEvent show;
    QVERIFY(!filter.eventFilter(&plain, &show));
    QVERIFY(!plain.styleSheet().isEmpty());

    qApp->removeEventFilter(&filter);
}

void TstTheme::embeddedArtworkLoads()
{
    const QPixmap logo(QStringLiteral(":/resources/logo-velno.png"));
    QVERIFY(!logo.isNull());
    QCOMPARE(logo.width(), logo.height());
    QVERIFY(!QPixmap(QStringLiteral(":/resources/logo-mark.png")).isNull());
    const QImage check(QStringLiteral(":/resources/check-gold.png"));
    QCOMPARE(check.size(), QSize(16, 16));
    // Gold tick on transparent.
    QCOMPARE(check.pixelColor(0, 0).alpha(), 0);
    bool hasGold = false;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            hasGold = hasGold || check.pixelColor(x, y) == QColor(0xc9, 0xa8, 0x4c);
    QVERIFY(hasGold);
}

void TstTheme::fileIconsAreDistinctAtListSizes()
{
    const QStringList names{
        QStringLiteral("apk"),  QStringLiteral("boke"),   QStringLiteral("code"), QStringLiteral("cut"),
        QStringLiteral("dat"),  QStringLiteral("doc"),    QStringLiteral("dxf"),  QStringLiteral("exe"),
        QStringLiteral("file"), QStringLiteral("folder"), QStringLiteral("hlw"),  QStringLiteral("jpg"),
        QStringLiteral("klw"),  QStringLiteral("md"),     QStringLiteral("mdl"),  QStringLiteral("mot"),
        QStringLiteral("mp3"),  QStringLiteral("mp4"),    QStringLiteral("mtl"),  QStringLiteral("nsp"),
        QStringLiteral("ntp"),  QStringLiteral("pat"),    QStringLiteral("pdf"),  QStringLiteral("plt"),
        QStringLiteral("ppt"),  QStringLiteral("sdt"),    QStringLiteral("slw"),  QStringLiteral("txt"),
        QStringLiteral("xls"),  QStringLiteral("zip")};
    QStringList alike;
    for (int size : {20, 24}) {
        QList<QImage> scaled;
        for (const QString &name : names) {
            const QImage image(QStringLiteral(":/resources/file-icons/%1.png").arg(name));
            QVERIFY2(!image.isNull(), qPrintable(name));
            QCOMPARE(image.width(), image.height());
            scaled << image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                          .convertToFormat(QImage::Format_ARGB32);
        }
        // Two icons that differ in only a few pixels at list size would read as the same kind.
        for (int i = 0; i < scaled.size(); ++i) {
            for (int j = i + 1; j < scaled.size(); ++j) {
                int different = 0;
                for (int y = 0; y < size; ++y)
                    for (int x = 0; x < size; ++x) {
                        const QColor a = scaled[i].pixelColor(x, y), b = scaled[j].pixelColor(x, y);
                        if (qAbs(a.red() - b.red()) + qAbs(a.green() - b.green()) + qAbs(a.blue() - b.blue()) +
                                qAbs(a.alpha() - b.alpha()) >
                            60)
                            ++different;
                    }
                if (different <= size * size / 10)
                    alike << QStringLiteral("%1/%2 at %3 px").arg(names[i], names[j]).arg(size);
            }
        }
    }
    QVERIFY2(alike.isEmpty(), qPrintable(alike.join(QStringLiteral(", "))));
}

QTEST_MAIN(TstTheme)
#include "tst_theme.moc"
