#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace Cdlg {

class RoundedCard;

// The frameless, translucent dialog that carries a painted card: a header with title and "×", a body that
// callers fill through bodyLayout(), and a footer with the OK button (and optionally a cancel button) on the
// right. Centred on its reference window the first time it is shown, never moved again.
class CardDialog : public QDialog
{
    Q_OBJECT
public:
    CardDialog(QWidget *parent, const QString &title, bool withCancel);
    ~CardDialog() override;

    RoundedCard *card() const { return m_card; }
    QLabel *titleLabel() const { return m_titleLabel; }
    QVBoxLayout *bodyLayout() const { return m_bodyLayout; }
    QPushButton *okButton() const { return m_okButton; }
    // Null when the dialog was built without a cancel button.
    QPushButton *cancelButton() const { return m_cancelButton; }
    // Makes the card at least as tall as its wrapped texts need at its current width (done on
    // every show).
    void fitHeightToWidth();

protected:
    void showEvent(QShowEvent *event) override;

private:
    RoundedCard *m_card = nullptr;
    QLabel *m_titleLabel = nullptr;
    QVBoxLayout *m_bodyLayout = nullptr;
    QPushButton *m_okButton = nullptr;
    QPushButton *m_cancelButton = nullptr;
    bool m_centred = false;
};

} // namespace Cdlg
