// Renders the dialog kit, the theme and the artwork offscreen, so they can be looked at.
// With TVR_SCREENSHOT_DIR set, the pictures are written there (docs/screenshots/ keeps the committed ones):
//   TVR_SCREENSHOT_DIR=docs/screenshots QT_QPA_PLATFORM=offscreen build/tests/tst_kitscreenshots
#include "screenshots.h"

#include "app/startup.h"
#include "modalanswer.h"
#include "ui/capbutton.h"
#include "ui/cdlg.h"
#include "ui/progresscard.h"
#include "ui/svgicon.h"
#include "ui/titlebarbutton.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

namespace {

// True when some pixel is close to colour: the picture really shows the kit's own colours.
bool contains(const QImage &image, const QColor &colour, int tolerance = 12)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (qAbs(c.red() - colour.red()) + qAbs(c.green() - colour.green()) + qAbs(c.blue() - colour.blue()) <=
                tolerance)
                return true;
        }
    return false;
}

const QStringList &iconNames()
{
    static const QStringList names{
        QStringLiteral("folder"), QStringLiteral("file"), QStringLiteral("pdf"), QStringLiteral("doc"),
        QStringLiteral("xls"),    QStringLiteral("ppt"),  QStringLiteral("txt"), QStringLiteral("md"),
        QStringLiteral("code"),   QStringLiteral("jpg"),  QStringLiteral("mp4"), QStringLiteral("mp3"),
        QStringLiteral("zip"),    QStringLiteral("exe"),  QStringLiteral("apk"), QStringLiteral("cut"),
        QStringLiteral("dat"),    QStringLiteral("dxf"),  QStringLiteral("mdl"), QStringLiteral("mot"),
        QStringLiteral("mtl"),    QStringLiteral("pat"),  QStringLiteral("plt"), QStringLiteral("slw"),
        QStringLiteral("boke"),   QStringLiteral("hlw"),  QStringLiteral("klw"), QStringLiteral("nsp"),
        QStringLiteral("ntp"),    QStringLiteral("sdt")};
    return names;
}

} // namespace

class TstKitScreenshots : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void infoCard();
    void confirmCard();
    void getTextCard();
    void progressCard();
    void fileIconSheet();
    void themeSampler();
    void lightMessageBox();
};

void TstKitScreenshots::initTestCase()
{
    Theme::installTranslation(*qApp);
    Theme::installTheme(*qApp);
}

void TstKitScreenshots::infoCard()
{
    QImage shot;
    answerModal([&](QDialog *dialog) {
        shot = Screenshots::onDesktop(dialog);
        dialog->accept();
    });
    Cdlg::info(nullptr, QStringLiteral("上传失败"), QStringLiteral("存储空间不足，请清理回收站或扩容后再试。"));
    QVERIFY(contains(shot, QColor(0x1a, 0x2a, 0x4a))); // navy band
    QVERIFY(Screenshots::save(shot, QStringLiteral("cdlg-info.png")));
}

void TstKitScreenshots::confirmCard()
{
    QImage shot;
    answerModal([&](QDialog *dialog) {
        shot = Screenshots::onDesktop(dialog);
        dialog->reject();
    });
    Cdlg::confirm(nullptr, QStringLiteral("确认彻底删除"),
                  QStringLiteral("确定彻底删除「2024 年度财务报告.pdf」吗？此操作不可恢复。"),
                  QStringLiteral("彻底删除"));
    QVERIFY(contains(shot, QColor(0xdd, 0xe3, 0xec), 6)); // cancel button border
    QVERIFY(Screenshots::save(shot, QStringLiteral("cdlg-confirm.png")));
}

void TstKitScreenshots::getTextCard()
{
    QImage shot;
    answerModal([&](QDialog *dialog) {
        auto *input = dialog->findChild<QLineEdit *>(QStringLiteral("cdInput"));
        input->setText(QStringLiteral("产品研发中心"));
        input->setFocus();
        input->deselect();
        shot = Screenshots::onDesktop(dialog);
        dialog->reject();
    });
    Cdlg::getText(nullptr, QStringLiteral("创建团队"), QStringLiteral("团队名称（1-50 字）："), QString(),
                  QStringLiteral("创建"));
    QVERIFY(!shot.isNull());
    QVERIFY(Screenshots::save(shot, QStringLiteral("cdlg-gettext.png")));
}

void TstKitScreenshots::progressCard()
{
    QWidget owner;
    Cdlg::ProgressCard card(QStringLiteral("下载更新"), &owner, QStringLiteral("取消"),
                            QStringLiteral("正在准备下载…"));
    card.progressBar()->setValue(42);
    card.messageLabel()->setText(QStringLiteral("正在下载安装包：42.0 MB / 100 MB，2.4MB/s"));
    card.show();
    QVERIFY(QTest::qWaitForWindowExposed(&card));
    const QImage shot = Screenshots::onDesktop(&card);
    QVERIFY(contains(shot, QColor(0xc9, 0xa8, 0x4c), 30)); // gold chunk
    QVERIFY(Screenshots::save(shot, QStringLiteral("cdlg-progress.png")));
}

void TstKitScreenshots::fileIconSheet()
{
    // Each cell: the icon at 20 px and at 24 px (the sizes the lists use), at 48 px for detail, and its name.
    constexpr int columns = 6, cellW = 150, cellH = 64;
    const int rows = int((iconNames().size() + columns - 1) / columns);
    QImage sheet(columns * cellW, rows * cellH, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Qt::white);
    QPainter p(&sheet);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    QFont font = qApp->font();
    font.setPixelSize(12);
    p.setFont(font);
    p.setPen(QColor(0x33, 0x41, 0x5c));
    for (int i = 0; i < iconNames().size(); ++i) {
        const QString &name = iconNames().at(i);
        const QPixmap source(QStringLiteral(":/resources/file-icons/%1.png").arg(name));
        QVERIFY2(!source.isNull(), qPrintable(name));
        const int x = int(i % columns) * cellW + 10, y = int(i / columns) * cellH + 8;
        p.drawPixmap(x, y + 14, source.scaled(20, 20, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        p.drawPixmap(x + 26, y + 12, source.scaled(24, 24, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        p.drawPixmap(x + 56, y, source.scaled(48, 48, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        p.drawText(QRect(x + 108, y, cellW - 108, 48), Qt::AlignLeft | Qt::AlignVCenter, name);
    }
    p.end();
    QVERIFY(Screenshots::save(sheet, QStringLiteral("file-icons.png")));
}

void TstKitScreenshots::themeSampler()
{
    QWidget page;
    page.setObjectName(QStringLiteral("SubPage"));
    page.setAttribute(Qt::WA_StyledBackground);
    auto *grid = new QGridLayout(&page);
    grid->setContentsMargins(20, 20, 20, 20);
    grid->setHorizontalSpacing(14);
    grid->setVerticalSpacing(14);

    const auto button = [&page](const QString &text, const QString &name) {
        auto *b = new QPushButton(text, &page);
        b->setObjectName(name);
        return b;
    };
    grid->addWidget(button(QStringLiteral("上传文件"), QStringLiteral("Primary")), 0, 0);
    grid->addWidget(button(QStringLiteral("立即扩容"), QStringLiteral("GoldBtn")), 0, 1);
    grid->addWidget(button(QStringLiteral("彻底删除"), QStringLiteral("Danger")), 0, 2);
    grid->addWidget(button(QStringLiteral("刷新"), QString()), 0, 3);
    auto *disabled = button(QStringLiteral("下载"), QString());
    disabled->setEnabled(false);
    grid->addWidget(disabled, 0, 4);
    grid->addWidget(button(QStringLiteral("用户协议"), QStringLiteral("Link")), 0, 5);

    auto *search = new QLineEdit(&page);
    search->setObjectName(QStringLiteral("SearchBox"));
    search->setPlaceholderText(QStringLiteral("搜索文件"));
    grid->addWidget(search, 1, 0, 1, 2);
    auto *field = new QLineEdit(QStringLiteral("普通输入框"), &page);
    grid->addWidget(field, 1, 2, 1, 2);
    auto *combo = new QComboBox(&page);
    combo->addItems({QStringLiteral("最近 7 天"), QStringLiteral("最近 30 天")});
    grid->addWidget(combo, 1, 4, 1, 2);

    auto *agree = new QCheckBox(QStringLiteral("我已阅读并同意"), &page);
    agree->setObjectName(QStringLiteral("Agree"));
    agree->setChecked(true);
    grid->addWidget(agree, 2, 0, 1, 2);
    auto *muted = new QLabel(QStringLiteral("已用 12.3 GB / 100 GB"), &page);
    muted->setObjectName(QStringLiteral("Muted"));
    grid->addWidget(muted, 2, 2, 1, 2);
    auto *quota = new QProgressBar(&page);
    quota->setObjectName(QStringLiteral("QuotaBar"));
    quota->setValue(37);
    quota->setTextVisible(false);
    grid->addWidget(quota, 2, 4, 1, 2);

    // Painted buttons: the sign-in title bar on white, the main window's caption buttons on navy, one of
    // each kind hovered; then the bell icon and the logos.
    auto *bar = new QHBoxLayout;
    bar->setSpacing(6);
    for (int kind : {0, 1}) {
        for (bool hot : {false, true}) {
            auto *b = new TitleBarButton(kind, &page);
            b->setAttribute(Qt::WA_UnderMouse, hot);
            bar->addWidget(b);
        }
    }
    auto *caption = new QWidget(&page);
    caption->setAutoFillBackground(true);
    QPalette navy = caption->palette();
    navy.setColor(QPalette::Window, QColor(0x1a, 0x2a, 0x4a));
    caption->setPalette(navy);
    caption->setStyleSheet(QStringLiteral("background: #1a2a4a;"));
    caption->setAttribute(Qt::WA_StyledBackground);
    auto *captionLayout = new QHBoxLayout(caption);
    captionLayout->setContentsMargins(0, 0, 0, 0);
    captionLayout->setSpacing(0);
    for (int kind : {0, 1, 2}) {
        for (bool hot : {false, true}) {
            auto *b = new CapButton(kind, caption);
            b->setAttribute(Qt::WA_UnderMouse, hot);
            captionLayout->addWidget(b);
        }
    }
    bar->addSpacing(12);
    bar->addWidget(caption);
    bar->addSpacing(12);
    auto *bell = new QLabel(&page);
    bell->setPixmap(svgIcon(SvgPaths::bell, 22, QColor(0x1a, 0x2a, 0x4a), 1.0));
    bar->addWidget(bell);
    auto *check = new QLabel(&page);
    check->setPixmap(svgIcon(SvgPaths::check, 22, QColor(0xc9, 0xa8, 0x4c), 1.0));
    bar->addWidget(check);
    bar->addStretch();
    auto *mark = new QLabel(&page);
    mark->setPixmap(QPixmap(QStringLiteral(":/resources/logo-mark.png"))
                        .scaled(32, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    bar->addWidget(mark);
    auto *logo = new QLabel(&page);
    logo->setPixmap(QPixmap(QStringLiteral(":/resources/logo-velno.png"))
                        .scaled(72, 72, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    bar->addWidget(logo);
    grid->addLayout(bar, 3, 0, 1, 6);

    page.resize(760, 230);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    const QImage shot = page.grab().toImage();
    QVERIFY(contains(shot, QColor(0x16, 0x77, 0xff), 0)); // Primary
    QVERIFY(contains(shot, QColor(0xc9, 0xa8, 0x4c), 0)); // GoldBtn
    QVERIFY(contains(shot, QColor(196, 43, 28), 0));      // hovered close
    QVERIFY(Screenshots::save(shot, QStringLiteral("theme-widgets.png")));
}

void TstKitScreenshots::lightMessageBox()
{
    QImage shot;
    answerModal([&](QDialog *dialog) {
        shot = dialog->grab().toImage();
        dialog->reject();
    });
    QMessageBox::question(nullptr, QStringLiteral("打开文件"), QStringLiteral("下载已完成，是否立即打开？"),
                          QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(shot.pixelColor(3, 3), QColor(0xf5, 0xf7, 0xfa));
    QVERIFY(Screenshots::save(shot, QStringLiteral("light-messagebox.png")));
}

QTEST_MAIN(TstKitScreenshots)
#include "tst_kitscreenshots.moc"
