#pragma once

#include "account/paydlg.h"
#include "net/httpresponse.h"

#include <QDialog>
#include <QList>
#include <functional>

class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

namespace paydlg {

class PlanCard;

// One open payment dialog (see paydlg::show). Idle → creating an order → waiting for payment
// (QR shown, polled every 3 s) → paid (accepted 1.2 s later). Answers that arrive after the dialog
// is gone, for a superseded order request, or for an order that is no longer current are dropped.
class PayDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PayDialog)

public:
    enum Duration { Monthly = 0, Yearly = 1 };

    PayDialog(QWidget *parent, const QList<CapPlan> &plans, std::function<void()> onPaid);
    ~PayDialog() override;

    // Shows the dialog window-modal and centres it on its parent's window once laid out.
    void openCentred();

    QList<int> capacities() const { return m_capacities; }
    int selectedDuration() const { return m_duration; }
    QString orderNo() const { return m_orderNo; }
    bool isPolling() const;

    void selectDuration(int duration);
    void selectCapacityIndex(int index);
    void createOrder();
    void poll();

private:
    QWidget *buildCard();
    QWidget *infoRow(QWidget *parent, const QString &caption, const QString &value, bool withCopy);
    void refresh();
    void reset();
    int currentCapacity() const;
    // The first plan of the capacity whose duration is monthly (< 365 days) or yearly.
    const CapPlan *planFor(int capacity, int duration) const;
    void applyOrderAnswer(const HttpResponse &response);
    void applyPollAnswer(const QString &orderNo, const HttpResponse &response);
    void centreOn(const QRect &reference);

    QList<CapPlan> m_plans;
    QList<int> m_capacities;
    int m_capacityIndex = 0;
    int m_duration = Yearly;
    QString m_orderNo;
    int m_orderRequest = 0; // only the answer to the latest create-order request applies
    bool m_paid = false;
    std::function<void()> m_onPaid;

    QTimer *m_pollTimer = nullptr;
    QComboBox *m_capCombo = nullptr;
    PlanCard *m_monthCard = nullptr;
    PlanCard *m_yearCard = nullptr;
    QLabel *m_monthPrice = nullptr;
    QLabel *m_monthDays = nullptr;
    QLabel *m_yearPrice = nullptr;
    QLabel *m_yearDays = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_qr = nullptr;
    QPushButton *m_genButton = nullptr;
};

} // namespace paydlg
