#include "ui/progresscard.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace Cdlg {

namespace {
constexpr int kCardWidth = 420;
} // namespace

ProgressCard::ProgressCard(const QString &title, QWidget *parent, const QString &buttonText, const QString &message)
    : CardDialog(parent, title, false)
{
    // The single footer button cancels. It is connected to reject() only: leaving the base class's accept()
    // connected as well would report every cancel click as accepted() and finished(Accepted) first.
    okButton()->setText(buttonText);
    disconnect(okButton(), &QPushButton::clicked, this, &QDialog::accept);
    connect(okButton(), &QPushButton::clicked, this, &QDialog::reject);

    m_messageLabel = new QLabel(message, this);
    m_messageLabel->setObjectName(QStringLiteral("cdMsg"));
    // Messages carry file names and the server's error texts: never read as HTML.
    m_messageLabel->setTextFormat(Qt::PlainText);
    m_messageLabel->setWordWrap(true);
    bodyLayout()->addWidget(m_messageLabel);

    m_progressBar = new QProgressBar(this);
    m_progressBar->setObjectName(QStringLiteral("cdProgress"));
    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(0);
    m_progressBar->setTextVisible(true);
    bodyLayout()->addWidget(m_progressBar);

    setFixedWidth(kCardWidth);
    adjustSize();
}

ProgressCard::~ProgressCard() = default;

void ProgressCard::done(int result)
{
    if (result == QDialog::Rejected && !m_canceledEmitted) {
        m_canceledEmitted = true;
        emit canceled();
    }
    CardDialog::done(result);
}

} // namespace Cdlg
