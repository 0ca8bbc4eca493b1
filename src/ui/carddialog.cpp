#include "ui/carddialog.h"

#include "ui/cardstyle.h"
#include "ui/roundedcard.h"

#include <QApplication>
#include <QFont>
#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace Cdlg {

namespace {
// Transparent margin around the card where its shadow is drawn.
constexpr int kShadowMargin = 26;
constexpr int kButtonHeight = 40;
constexpr int kButtonMinWidth = 96;
constexpr int kCloseEdge = 30;
} // namespace

CardDialog::CardDialog(QWidget *parent, const QString &title, bool withCancel)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setObjectName(QStringLiteral("CardDlg"));
    // The task bar, window switchers and screen readers name the window by it.
    setWindowTitle(title);

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(kShadowMargin, kShadowMargin, kShadowMargin, kShadowMargin);
    outer->setSpacing(0);

    m_card = new RoundedCard(this);
    auto *cardShadow = new QGraphicsDropShadowEffect(m_card);
    cardShadow->setBlurRadius(64);
    cardShadow->setOffset(0, 18);
    cardShadow->setColor(QColor(0x14, 0x20, 0x38, 72));
    m_card->setGraphicsEffect(cardShadow);
    outer->addWidget(m_card);

    auto *cardLayout = new QVBoxLayout(m_card);
    cardLayout->setContentsMargins(0, 0, 0, 0);
    cardLayout->setSpacing(0);

    // Header: title, stretch, "×".
    auto *header = new QFrame(m_card);
    header->setObjectName(QStringLiteral("cdHeader"));
    auto *headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(24, 18, 14, 12);
    headerLayout->setSpacing(8);
    m_titleLabel = new QLabel(title, header);
    m_titleLabel->setObjectName(QStringLiteral("cdTitle"));
    headerLayout->addWidget(m_titleLabel);
    headerLayout->addStretch();
    auto *closeButton = new QPushButton(QStringLiteral("×"), header);
    closeButton->setObjectName(QStringLiteral("cdClose"));
    closeButton->setFlat(true);
    closeButton->setFixedSize(kCloseEdge, kCloseEdge);
    QFont closeFont = closeButton->font();
    closeFont.setPixelSize(16);
    closeButton->setFont(closeFont);
    closeButton->setCursor(Qt::PointingHandCursor);
    // The "×" is a mouse affordance (Esc is the keyboard's way out). Without these it would take the initial
    // focus and become the dialog's default button, so Return would dismiss the dialog.
    closeButton->setAutoDefault(false);
    closeButton->setFocusPolicy(Qt::NoFocus);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::reject);
    headerLayout->addWidget(closeButton);
    cardLayout->addWidget(header);

    auto *body = new QWidget(m_card);
    body->setObjectName(QStringLiteral("cdBodyWrap"));
    m_bodyLayout = new QVBoxLayout(body);
    m_bodyLayout->setContentsMargins(24, 14, 24, 18);
    m_bodyLayout->setSpacing(13);
    cardLayout->addWidget(body, 1);

    auto *footer = new QFrame(m_card);
    footer->setObjectName(QStringLiteral("cdFooter"));
    auto *footerLayout = new QHBoxLayout(footer);
    footerLayout->setContentsMargins(24, 14, 24, 20);
    footerLayout->setSpacing(12);
    footerLayout->addStretch();
    if (withCancel) {
        m_cancelButton = new QPushButton(QStringLiteral("取消"), footer);
        m_cancelButton->setObjectName(QStringLiteral("cdCancel"));
        m_cancelButton->setCursor(Qt::PointingHandCursor);
        m_cancelButton->setFixedHeight(kButtonHeight);
        m_cancelButton->setMinimumWidth(kButtonMinWidth);
        connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
        footerLayout->addWidget(m_cancelButton);
    }
    m_okButton = new QPushButton(QStringLiteral("确定"), footer);
    m_okButton->setObjectName(QStringLiteral("cdOk"));
    m_okButton->setCursor(Qt::PointingHandCursor);
    m_okButton->setFixedHeight(kButtonHeight);
    m_okButton->setMinimumWidth(kButtonMinWidth);
    // Return in a field must click OK, not whichever button happens to come first in the focus chain.
    m_okButton->setDefault(true);
    auto *okShadow = new QGraphicsDropShadowEffect(m_okButton);
    okShadow->setBlurRadius(16);
    okShadow->setOffset(0, 3);
    okShadow->setColor(QColor(0x1a, 0x2a, 0x4a, 70));
    m_okButton->setGraphicsEffect(okShadow);
    connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);
    footerLayout->addWidget(m_okButton);
    cardLayout->addWidget(footer);

    setStyleSheet(cardStyleSheet());
}

CardDialog::~CardDialog() = default;

void CardDialog::fitHeightToWidth()
{
    // Wrapped texts need the height for the width the card has now, not for the width their
    // size hint assumed; otherwise first and last lines are cut off.
    QLayout *outer = layout();
    if (!outer)
        return;
    outer->activate();
    const int needed = outer->hasHeightForWidth() ? outer->totalHeightForWidth(width()) : sizeHint().height();
    // Only ever taller: a card sized on purpose (a picker with a list) keeps its room.
    const int height = qMax(needed, minimumSizeHint().height());
    if (height > this->height())
        resize(width(), height);
}

void CardDialog::showEvent(QShowEvent *event)
{
    fitHeightToWidth();
    QDialog::showEvent(event);
    if (m_centred)
        return;
    m_centred = true;
    QWidget *reference = parentWidget() ? parentWidget()->window() : QApplication::activeWindow();
    if (!reference || reference == this)
        return;
    const QPoint centre = reference->geometry().center();
    move(centre.x() - width() / 2, centre.y() - height() / 2);
}

} // namespace Cdlg
