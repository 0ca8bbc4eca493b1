#include "ui/cdlg.h"

#include "ui/carddialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace Cdlg {

namespace {
constexpr int kNoticeWidth = 380;
constexpr int kPromptWidth = 400;

void addMessage(CardDialog &dialog, const QString &message)
{
    auto *label = new QLabel(message, &dialog);
    label->setObjectName(QStringLiteral("cdMsg"));
    // Messages carry file names and the server's error texts: never read as HTML.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    dialog.bodyLayout()->addWidget(label);
}
} // namespace

void info(QWidget *parent, const QString &title, const QString &message)
{
    CardDialog dialog(parent, title, false);
    dialog.okButton()->setText(QStringLiteral("知道了"));
    addMessage(dialog, message);
    dialog.setFixedWidth(kNoticeWidth);
    dialog.adjustSize();
    dialog.exec();
}

bool confirm(QWidget *parent, const QString &title, const QString &message, const QString &okText)
{
    CardDialog dialog(parent, title, true);
    dialog.okButton()->setText(okText);
    addMessage(dialog, message);
    dialog.setFixedWidth(kNoticeWidth);
    dialog.adjustSize();
    return dialog.exec() == QDialog::Accepted;
}

bool confirmDestructive(QWidget *parent, const QString &title, const QString &message, const QString &okText)
{
    CardDialog dialog(parent, title, true);
    dialog.okButton()->setText(okText);
    dialog.okButton()->setDefault(false);
    dialog.okButton()->setAutoDefault(false);
    dialog.cancelButton()->setDefault(true);
    addMessage(dialog, message);
    dialog.setFixedWidth(kNoticeWidth);
    dialog.adjustSize();
    dialog.cancelButton()->setFocus();
    return dialog.exec() == QDialog::Accepted;
}

QString getText(QWidget *parent, const QString &title, const QString &label, const QString &initialText,
                const QString &okText, bool *ok)
{
    CardDialog dialog(parent, title, true);
    dialog.okButton()->setText(okText);
    if (!label.isEmpty()) {
        auto *fieldLabel = new QLabel(label, &dialog);
        fieldLabel->setObjectName(QStringLiteral("cdFieldLabel"));
        dialog.bodyLayout()->addWidget(fieldLabel);
    }
    auto *input = new QLineEdit(initialText, &dialog);
    input->setObjectName(QStringLiteral("cdInput"));
    input->setClearButtonEnabled(true);
    input->selectAll();
    QObject::connect(input, &QLineEdit::returnPressed, dialog.okButton(), &QPushButton::click);
    dialog.bodyLayout()->addWidget(input);
    // Widgets added to the body come after the footer buttons in the focus chain; typing starts in the field.
    input->setFocus();
    dialog.setFixedWidth(kPromptWidth);

    const bool accepted = dialog.exec() == QDialog::Accepted;
    if (ok)
        *ok = accepted;
    return accepted ? input->text() : QString();
}

} // namespace Cdlg
