#pragma once

#include <QFrame>

// White rounded card of the legal document dialog, with the gold-to-navy strip along its top.
class LegalCard final : public QFrame
{
    Q_OBJECT

public:
    explicit LegalCard(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};
