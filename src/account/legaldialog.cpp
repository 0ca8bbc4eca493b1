#include "account/legaldialog.h"

#include "account/legalcard.h"
#include "account/legaltexts.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace {

constexpr int DialogWidth = 424;
constexpr int DialogHeight = 507;

constexpr char CloseStyle[] =
    "QPushButton#LegalClose{color:#8a94a6;background:transparent;border:none;border-radius:15px;padding:0;"
    "margin:0;text-align:center;}QPushButton#LegalClose:hover{background:#f2f4f8;color:#1a2a4a;}";

constexpr char CardStyle[] =
    "QFrame#LegalHeader{background:transparent;border:none;border-bottom:1px solid #eef0f4;}"
    "QLabel#LegalTitle{color:#1a1a2e;font-size:16px;font-weight:600;}"
    "QPushButton#LegalClose{color:#8a94a6;font-size:15px;border-radius:15px;}"
    "QPushButton#LegalClose:hover{background:#f2f4f8;color:#1a2a4a;}"
    "QTextBrowser#LegalBody{background:#f7f9fc;border:1px solid #eef0f4;border-radius:12px;padding:14px 16px;"
    "color:#33404f;font-size:13px;}"
    "QFrame#LegalFooter{background:transparent;border:none;border-top:1px solid #eef0f4;}"
    "QPushButton#LegalOk{background:#C9A84C;color:#1A2A4A;font-size:14px;font-weight:600;border:none;"
    "border-radius:10px;}"
    "QPushButton#LegalOk:hover{background:#b8963f;}";

} // namespace

QString legalTitle(LegalDocument document)
{
    return document == LegalDocument::PrivacyPolicy ? QStringLiteral("隐私政策") : QStringLiteral("用户协议");
}

QString legalHtml(LegalDocument document)
{
    return legalDateParagraph() +
           (document == LegalDocument::PrivacyPolicy ? privacyPolicyBody() : userAgreementBody());
}

void showLegalDialog(QWidget *parent, LegalDocument document)
{
    const QString title = legalTitle(document);

    // On the heap and guarded: the parent may be deleted while the nested loop runs (a login answer
    // can hand over to the main window meanwhile), and it then takes the dialog with it.
    QPointer<QDialog> guard = new QDialog(parent);
    QDialog &dialog = *guard;
    dialog.setWindowTitle(title);
    dialog.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint);
    dialog.setAttribute(Qt::WA_TranslucentBackground);
    dialog.setModal(true);
    dialog.resize(DialogWidth, DialogHeight);

    auto *outer = new QVBoxLayout(&dialog);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *card = new LegalCard(&dialog);
    card->setObjectName(QStringLiteral("LegalCard"));
    card->setStyleSheet(QString::fromLatin1(CardStyle));
    outer->addWidget(card);

    auto *cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(0, 0, 0, 0);
    cardLayout->setSpacing(0);
    cardLayout->addSpacing(3);

    auto *header = new QFrame(card);
    header->setObjectName(QStringLiteral("LegalHeader"));
    auto *headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(22, 14, 12, 14);
    headerLayout->setSpacing(8);
    auto *titleLabel = new QLabel(title, header);
    titleLabel->setObjectName(QStringLiteral("LegalTitle"));
    headerLayout->addWidget(titleLabel);
    headerLayout->addStretch();
    auto *closeButton = new QPushButton(QStringLiteral("×"), header);
    closeButton->setObjectName(QStringLiteral("LegalClose"));
    closeButton->setFixedSize(30, 30);
    closeButton->setFlat(true);
    closeButton->setCursor(Qt::PointingHandCursor);
    QFont closeFont = closeButton->font();
    closeFont.setPixelSize(16);
    closeButton->setFont(closeFont);
    closeButton->setStyleSheet(QString::fromLatin1(CloseStyle));
    headerLayout->addWidget(closeButton);
    cardLayout->addWidget(header);

    auto *bodyLayout = new QHBoxLayout;
    bodyLayout->setContentsMargins(22, 14, 22, 10);
    auto *body = new QTextBrowser(card);
    body->setObjectName(QStringLiteral("LegalBody"));
    body->setOpenExternalLinks(false);
    body->setOpenLinks(false);
    body->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    body->setHtml(legalHtml(document));
    bodyLayout->addWidget(body);
    cardLayout->addLayout(bodyLayout, 1);

    auto *footer = new QFrame(card);
    footer->setObjectName(QStringLiteral("LegalFooter"));
    auto *footerLayout = new QHBoxLayout(footer);
    footerLayout->setContentsMargins(22, 12, 22, 18);
    footerLayout->addStretch();
    auto *okButton = new QPushButton(QStringLiteral("我已知悉"), footer);
    okButton->setObjectName(QStringLiteral("LegalOk"));
    okButton->setFixedHeight(38);
    okButton->setMinimumWidth(120);
    okButton->setCursor(Qt::PointingHandCursor);
    footerLayout->addWidget(okButton);
    cardLayout->addWidget(footer);

    QObject::connect(closeButton, &QPushButton::clicked, &dialog, &QDialog::accept);
    QObject::connect(okButton, &QPushButton::clicked, &dialog, &QDialog::accept);

    if (parent) {
        const QWidget *top = parent->window();
        const QPoint centre = top->geometry().center();
        dialog.move(centre.x() - dialog.width() / 2, centre.y() - dialog.height() / 2);
    }
    dialog.exec();
    delete guard.data();
}
