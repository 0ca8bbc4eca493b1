// Share links end to end against the reference server: a link made from a file page's share card,
// opened by a stranger's browser (a plain GET without any session), listed on 我的分享 as live,
// cancelled there, and refused to the stranger afterwards.
#include "app/theme.h"
#include "files/filelistpage.h"
#include "files/filemodel.h"
#include "modalanswer.h"
#include "net/httpresponse.h"
#include "net/session.h"
#include "referenceserver.h"
#include "share/mysharespage.h"
#include "share/sharecard.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

using Creds = ReferenceServer::Credentials;

namespace {

struct Fetched
{
    int status = 0;
    QString body;
};

// What someone without an account gets: no client headers, no token, no cookies.
Fetched fetchAsStranger(const QString &url)
{
    QNetworkAccessManager network;
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = network.get(request);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!finished.wait(20000))
        return {};
    Fetched fetched{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                    QString::fromUtf8(reply->readAll())};
    reply->deleteLater();
    return fetched;
}

int shareRowNamed(const MySharesPage &page, const QString &name)
{
    for (int row = 0; row < page.table()->rowCount(); ++row) {
        if (page.table()->item(row, MySharesPage::NameColumn)->text() == name)
            return row;
    }
    return -1;
}

} // namespace

class TestSharesE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void strangerOpensALinkUntilItIsCancelled();

private:
    std::unique_ptr<ReferenceServer> m_server;
};

void TestSharesE2E::initTestCase()
{
    qApp->setStyleSheet(Theme::globalStyleSheet());
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    qputenv("TVR_SERVER", m_server->baseUrl().toUtf8());
}

void TestSharesE2E::cleanupTestCase()
{
    m_server.reset();
}

void TestSharesE2E::strangerOpensALinkUntilItIsCancelled()
{
    const Creds user = m_server->signIn(QStringLiteral("e2e_share"), QStringLiteral("13912340021"));
    QVERIFY(user.isValid());
    QVERIFY(Session::instance()->applyLogin(user.login));
    QCOMPARE(m_server->get(QStringLiteral("/api/shares"), user).status, 200);

    const QString name = QStringLiteral("季度报价单.pdf");
    const auto uploaded = m_server->multipart(
        QStringLiteral("/api/files/upload"), {{"files", name.toUtf8(), "application/pdf", "%PDF-1.4 quarterly"}}, user);
    QVERIFY2(uploaded.success(), uploaded.body.constData());

    // The link is made where the user works: the file page's share card.
    FileListPage files(QStringLiteral("all"), QString());
    files.resize(1100, 600);
    files.show();
    QTRY_COMPARE_WITH_TIMEOUT(files.model()->rowCount(), 1, 10000);
    files.selectRow(0);
    files.shareSelected();
    auto *card = files.findChild<ShareCard *>();
    QVERIFY(card);
    card->setValidDays(7);
    card->withCodeBox()->setChecked(false);
    QTest::mouseClick(card->okButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(card->hasLink() || card->errorLabel()->isVisible(), 10000);
    QVERIFY2(card->hasLink(), qPrintable(card->errorLabel()->text()));
    const QString url = card->url();
    QVERIFY2(url.startsWith(m_server->baseUrl() + QStringLiteral("/s/")), qPrintable(url));
    QVERIFY(card->code().isEmpty());
    card->accept();

    const Fetched open = fetchAsStranger(url);
    QCOMPARE(open.status, 200);
    QVERIFY2(open.body.contains(name), qPrintable(open.body.left(400)));

    // 我的分享 lists it as live, with the stranger's visit counted, and cancels it.
    MySharesPage shares;
    shares.resize(1100, 600);
    shares.show();
    QTRY_VERIFY_WITH_TIMEOUT(shareRowNamed(shares, name) >= 0, 10000);
    int row = shareRowNamed(shares, name);
    QCOMPARE(shares.table()->item(row, MySharesPage::StateColumn)->text(), QStringLiteral("有效"));
    QCOMPARE(shares.linkAt(row).value(QStringLiteral("url")).toString(), url);
    QVERIFY(jsonInt64(shares.linkAt(row), QStringLiteral("views"), 0) >= 1);

    QWidget *cell = shares.table()->cellWidget(row, MySharesPage::ActionColumn);
    QVERIFY(cell);
    answerModal([](QDialog *dialog) { dialog->accept(); });
    QTest::mouseClick(cell->findChild<QToolButton *>(QStringLiteral("RowIconDanger")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(shares.statusLabel()->text(), QStringLiteral("已取消 1 个分享"), 10000);
    row = shareRowNamed(shares, name);
    QVERIFY(row >= 0);
    QCOMPARE(shares.table()->item(row, MySharesPage::StateColumn)->text(), QStringLiteral("已取消"));

    const Fetched refused = fetchAsStranger(url);
    QVERIFY2(refused.status == 404 || refused.status == 410, qPrintable(QString::number(refused.status)));
    QVERIFY(!refused.body.contains(QStringLiteral("%PDF-1.4")));
}

QTEST_MAIN(TestSharesE2E)
#include "tst_shares_e2e.moc"
