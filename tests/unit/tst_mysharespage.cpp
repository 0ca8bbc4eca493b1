// The 我的分享 page against a scripted server: every link state in Chinese with its times and
// counts, copying a link with its code, cancelling one link or a checked batch (what is asked and
// what is sent), failures in Chinese, and how the page looks.
#include "app/startup.h"
#include "files/formatting.h"
#include "modalanswer.h"
#include "screenshots.h"
#include "scriptedserver.h"
#include "share/mysharespage.h"
#include "ui/carddialog.h"

#include <QApplication>
#include <QClipboard>
#include <QJsonArray>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

namespace {

const QString SharesPath = QStringLiteral("/api/shares");
const QString CancelPath = QStringLiteral("/api/shares/cancel");

QJsonObject link(int id, const QString &name, const QString &state, const QJsonValue &expiresAt = QJsonValue::Null,
                 const QString &code = QStringLiteral("ab12"))
{
    return {{"id", id},
            {"token", QStringLiteral("tok%1").arg(id)},
            {"url", QStringLiteral("https://share.example.cn/s/tok%1").arg(id)},
            {"code", code},
            {"fileId", 100 + id},
            {"teamId", QJsonValue::Null},
            {"name", name},
            {"isFolder", false},
            {"size", 2048},
            {"createdAt", "2026-12-01T02:30:00Z"},
            {"expiresAt", expiresAt},
            {"views", 12 * id},
            {"downloads", 3 * id},
            {"allowDownload", true},
            {"state", state}};
}

QToolButton *rowButton(const MySharesPage &page, int row, const char *objectName)
{
    QWidget *cell = page.table()->cellWidget(row, MySharesPage::ActionColumn);
    return cell ? cell->findChild<QToolButton *>(QString::fromLatin1(objectName)) : nullptr;
}

// Every label of a card, to see what the user was told.
QString cardText(QDialog *dialog)
{
    QStringList texts;
    for (const QLabel *label : dialog->findChildren<QLabel *>())
        texts.append(label->text());
    return texts.join(QLatin1Char('|'));
}

// The colour family of the darkest pixels of a row's state text as drawn.
QString inkOf(const MySharesPage &page, int row)
{
    QTableWidget *table = page.table();
    const QRect cell = table->visualRect(table->model()->index(row, MySharesPage::StateColumn));
    const QImage image = table->viewport()->grab(cell).toImage();
    QColor darkest(Qt::white);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor colour = image.pixelColor(x, y);
            if (colour.lightness() < darkest.lightness())
                darkest = colour;
        }
    }
    if (darkest.red() > 0xa0 && darkest.green() > 0x70 && darkest.blue() < 0x70)
        return QStringLiteral("gold");
    if (darkest.red() > 0xa0 && darkest.green() < 0x70)
        return QStringLiteral("red");
    if (qAbs(darkest.red() - darkest.blue()) < 0x30 && darkest.lightness() > 0x70)
        return QStringLiteral("grey");
    return darkest.name();
}

} // namespace

class TestMySharesPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void everyStateReadsInChineseWithItsTimesAndCounts();
    void emptyListShowsTheEmptyState();
    void copyPutsTheLinkAndCodeOnTheClipboard();
    void singleCancelAsksFirstAndSendsItsId();
    void batchCancelSendsOnlyTheCheckedLiveLinks();
    void failuresAreShownInChinese();
    void rendersThePage();

private:
    int listings() const { return int(m_server->requests("GET", SharesPath).size()); }
    void showAndLoad(MySharesPage &page, int rows);

    ScriptedServer *m_server = nullptr;
    QJsonArray m_links;
};

void TestMySharesPage::initTestCase()
{
    Theme::installTheme(*qApp);
}

void TestMySharesPage::init()
{
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
    m_links = {link(1, "报价单.pdf", "active", "2026-12-17T02:30:00Z"),
               link(2, "旧合同.docx", "expired"),
               link(3, "产品手册.pdf", "active", QJsonValue::Null, QString()),
               link(4, "草稿.txt", "cancelled"),
               link(5, "设计稿.psd", "deleted"),
               link(6, "奇怪.bin", "frozen")};
    m_server->on("GET", SharesPath, [this](const RecordedRequest &) { return ScriptedReply::success(m_links); });
    m_server->on("POST", CancelPath, ScriptedReply::success(QJsonObject{{"cancelled", 1}}));
    QGuiApplication::clipboard()->clear();
}

void TestMySharesPage::cleanup()
{
    delete m_server;
    m_server = nullptr;
}

void TestMySharesPage::showAndLoad(MySharesPage &page, int rows)
{
    page.resize(1000, 520);
    page.show();
    QTRY_VERIFY(listings() >= 1);
    QTRY_COMPARE(page.table()->rowCount(), rows);
}

void TestMySharesPage::everyStateReadsInChineseWithItsTimesAndCounts()
{
    MySharesPage page;
    showAndLoad(page, 6);
    QTableWidget *table = page.table();
    QVERIFY(table->isVisible());
    QVERIFY(!page.emptyLabel()->isVisible());

    QStringList states;
    for (int row = 0; row < 6; ++row)
        states.append(table->item(row, MySharesPage::StateColumn)->text());
    QCOMPARE(states, (QStringList{"有效", "已过期", "有效", "已取消", "文件已删除", "未知"}));

    QCOMPARE(table->item(0, MySharesPage::NameColumn)->text(), QStringLiteral("报价单.pdf"));
    QCOMPARE(table->item(0, MySharesPage::CreatedColumn)->text(), formatDateTime("2026-12-01T02:30:00Z"));
    QCOMPARE(table->item(0, MySharesPage::ExpiresColumn)->text(), formatDateTime("2026-12-17T02:30:00Z"));
    QCOMPARE(table->item(2, MySharesPage::ExpiresColumn)->text(), QStringLiteral("永久"));
    QCOMPARE(table->item(1, MySharesPage::CountsColumn)->text(), QStringLiteral("24 / 6"));
    QCOMPARE(table->horizontalHeaderItem(MySharesPage::CountsColumn)->text(), QStringLiteral("浏览 / 下载"));

    // Only live links can be copied, cancelled or checked.
    for (int row = 0; row < 6; ++row) {
        const bool live = row == 0 || row == 2;
        QCOMPARE(rowButton(page, row, "RowIconBtn") != nullptr, live);
        QCOMPARE(rowButton(page, row, "RowIconDanger") != nullptr, live);
        QCOMPARE(bool(table->item(row, MySharesPage::CheckColumn)->flags() & Qt::ItemIsUserCheckable), live);
    }
    QCOMPARE(rowButton(page, 0, "RowIconBtn")->toolTip(), QStringLiteral("复制链接"));
    QCOMPARE(rowButton(page, 0, "RowIconDanger")->toolTip(), QStringLiteral("取消分享"));
}

void TestMySharesPage::emptyListShowsTheEmptyState()
{
    m_links = {};
    MySharesPage page;
    page.resize(1000, 520);
    page.show();
    QTRY_VERIFY(page.emptyLabel()->isVisible());
    QCOMPARE(page.emptyLabel()->text(), QStringLiteral("还没有分享过文件"));
    QVERIFY(!page.table()->isVisible());
    QCOMPARE(page.cancelButton()->text(), QStringLiteral("取消分享选中 (0)"));
    QVERIFY(!page.cancelButton()->isEnabled());
    QVERIFY(!page.selectAllButton()->isEnabled());
}

void TestMySharesPage::copyPutsTheLinkAndCodeOnTheClipboard()
{
    MySharesPage page;
    showAndLoad(page, 6);
    QTest::mouseClick(rowButton(page, 0, "RowIconBtn"), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(),
             QStringLiteral("链接：https://share.example.cn/s/tok1  提取码：ab12"));
    QCOMPARE(page.statusLabel()->text(), QStringLiteral("已复制链接和提取码"));
    QTest::mouseClick(rowButton(page, 2, "RowIconBtn"), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("链接：https://share.example.cn/s/tok3"));
    QCOMPARE(page.statusLabel()->text(), QStringLiteral("已复制链接"));
    QVERIFY(m_server->requests("POST", CancelPath).isEmpty());
}

void TestMySharesPage::singleCancelAsksFirstAndSendsItsId()
{
    MySharesPage page;
    showAndLoad(page, 6);

    QString said;
    answerModal([&said](QDialog *dialog) {
        said = cardText(dialog);
        dialog->reject();
    });
    QTest::mouseClick(rowButton(page, 2, "RowIconDanger"), Qt::LeftButton);
    QVERIFY2(said.contains(QStringLiteral("确定取消「产品手册.pdf」的分享吗？取消后链接立即失效。")), qPrintable(said));
    QVERIFY(m_server->requests("POST", CancelPath).isEmpty());

    const int before = listings();
    answerModal([](QDialog *dialog) { dialog->accept(); });
    QTest::mouseClick(rowButton(page, 2, "RowIconDanger"), Qt::LeftButton);
    QTRY_COMPARE(m_server->requests("POST", CancelPath).size(), 1);
    QCOMPARE(m_server->requests("POST", CancelPath).first().json(), (QJsonObject{{"ids", QJsonArray{3}}}));
    // The list is fetched again and the page says what happened.
    QTRY_COMPARE(listings(), before + 1);
    QTRY_COMPARE(page.statusLabel()->text(), QStringLiteral("已取消 1 个分享"));
}

void TestMySharesPage::batchCancelSendsOnlyTheCheckedLiveLinks()
{
    MySharesPage page;
    showAndLoad(page, 6);

    // Nothing checked: the batch button is off, and the call itself only says so.
    QVERIFY(!page.cancelButton()->isEnabled());
    QString said;
    answerModal([&said](QDialog *dialog) {
        said = cardText(dialog);
        dialog->accept();
    });
    page.cancelChecked();
    QVERIFY2(said.contains(QStringLiteral("请先选择要取消的分享")), qPrintable(said));

    // 全选 takes the two live links only; every row ticked turns it into 取消全选.
    QTest::mouseClick(page.selectAllButton(), Qt::LeftButton);
    QCOMPARE(page.cancelButton()->text(), QStringLiteral("取消分享选中 (2)"));
    QCOMPARE(page.selectAllButton()->text(), QStringLiteral("取消全选"));
    QVERIFY(page.cancelButton()->isEnabled());

    answerModal([&said](QDialog *dialog) {
        said = cardText(dialog);
        dialog->accept();
    });
    m_server->on("POST", CancelPath, ScriptedReply::success(QJsonObject{{"cancelled", 2}}));
    QTest::mouseClick(page.cancelButton(), Qt::LeftButton);
    QVERIFY2(said.contains(QStringLiteral("确定取消选中的 2 个分享吗？取消后链接立即失效。")), qPrintable(said));
    QTRY_COMPARE(m_server->requests("POST", CancelPath).size(), 1);
    QCOMPARE(m_server->requests("POST", CancelPath).first().json(), (QJsonObject{{"ids", QJsonArray{1, 3}}}));

    // Check marks do not outlive the reload that follows.
    QTRY_COMPARE(page.statusLabel()->text(), QStringLiteral("已取消 2 个分享"));
    QCOMPARE(page.table()->rowCount(), 6);
    QCOMPARE(page.cancelButton()->text(), QStringLiteral("取消分享选中 (0)"));
    page.table()->item(0, MySharesPage::CheckColumn)->setCheckState(Qt::Checked);
    QCOMPARE(page.cancelButton()->text(), QStringLiteral("取消分享选中 (1)"));
    QCOMPARE(page.selectAllButton()->text(), QStringLiteral("全选"));
}

void TestMySharesPage::failuresAreShownInChinese()
{
    m_server->on("GET", SharesPath,
                 ScriptedReply::json(QJsonObject{{"success", false}, {"message", "登录已过期，请重新登录"}}, 401));
    MySharesPage page;
    page.resize(1000, 520);
    page.show();
    QTRY_COMPARE(page.statusLabel()->text(), QStringLiteral("加载失败：登录已过期，请重新登录"));

    m_server->on("GET", SharesPath, [this](const RecordedRequest &) { return ScriptedReply::success(m_links); });
    m_server->on("POST", CancelPath,
                 ScriptedReply::json(QJsonObject{{"success", false}, {"message", "分享不存在"}}, 404));
    page.reload();
    QTRY_COMPARE(page.table()->rowCount(), 6);
    QCOMPARE(page.statusLabel()->text(), QString());

    // The failure notice comes up from inside the reply, so it is answered as soon as the question is.
    QString said;
    answerModal([&said](QDialog *question) {
        question->accept();
        answerModal([&said](QDialog *dialog) {
            auto *card = qobject_cast<Cdlg::CardDialog *>(dialog);
            said = (card ? card->titleLabel()->text() : QString()) + QLatin1Char('|') + cardText(dialog);
            dialog->accept();
        });
    });
    QTest::mouseClick(rowButton(page, 0, "RowIconDanger"), Qt::LeftButton);
    QTRY_COMPARE(m_server->requests("POST", CancelPath).size(), 1);
    QTRY_VERIFY(said.contains(QStringLiteral("分享不存在")));
    QVERIFY2(said.startsWith(QStringLiteral("取消分享失败|")), qPrintable(said));
}

void TestMySharesPage::rendersThePage()
{
    m_links = {link(1, "2026 年度报价单（客户版）.pdf", "active", "2026-12-17T02:30:00Z"),
               link(3, "产品手册.pdf", "active", QJsonValue::Null, QString()),
               link(2, "旧合同.docx", "expired", "2026-11-20T02:30:00Z"), link(4, "草稿.txt", "cancelled"),
               link(5, "设计稿.psd", "deleted", "2026-12-30T02:30:00Z")};
    MySharesPage page;
    showAndLoad(page, 5);
    page.table()->item(0, MySharesPage::CheckColumn)->setCheckState(Qt::Checked);
    QApplication::processEvents();
    const QImage shot = page.grab().toImage();
    QVERIFY(Screenshots::save(shot, QStringLiteral("my-shares.png")));

    // On screen a live link's state is gold, a cancelled one grey, a deleted file's red (a colour in the
    // table's sheet would paint them all alike).
    QCOMPARE(inkOf(page, 0), QStringLiteral("gold"));
    QCOMPARE(inkOf(page, 3), QStringLiteral("grey"));
    QCOMPARE(inkOf(page, 4), QStringLiteral("red"));
}

QTEST_MAIN(TestMySharesPage)
#include "tst_mysharespage.moc"
