#pragma once

#include <QList>
#include <QString>
#include <functional>

class QDialog;
class QWidget;

// The capacity payment dialog: pick a tier and a duration, have the server create an order, show its
// QR code and poll the order until it is paid.
namespace paydlg {

// One purchasable capacity plan.
struct CapPlan
{
    QString id;
    int capacityGb = 0;
    // 64 bits: a price or duration beyond 2^31 must not wrap into a negative or a small one.
    qint64 priceFen = 0;
    qint64 durationDays = 0; // below YearDays: a monthly card; from YearDays on: a yearly card
};

constexpr int YearDays = 365;
constexpr int PollIntervalMs = 3000;
constexpr int PaidCloseDelayMs = 1200;

// Builds the dialog, opens it window-modal and returns at once; it deletes itself when closed.
// onPaid (may be empty) runs once, only when the dialog is accepted after a successful payment.
QDialog *show(QWidget *parent, const QList<CapPlan> &plans, std::function<void()> onPaid);

// "500GB", "1TB", "1.5TB": no space between number and unit.
QString capacityText(int gb);
// The same with a space: "500 GB", "1.5 TB"; "-" below 1 GB.
QString capacityCellText(qint64 gb);
// "¥99" for whole yuan, else "¥9.90"; computed on integer fen.
QString priceText(qint64 fen);
// Always two decimals: "¥19.90", "¥1.00".
QString amountText(qint64 fen);
QString planCardStyle(bool selected);

} // namespace paydlg
