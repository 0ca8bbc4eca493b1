#pragma once

#include "net/httpresponse.h"

#include <QString>
#include <QWidget>

class QFrame;
class QLabel;
class QPushButton;

// Keeps the account's storage figures and company name current in the Session, and shows the
// expiry banner above the main window's pages. The widget itself is the banner container (hidden
// until an alert applies); the owner places it between the header and the page stack.
class CapacityBanner final : public QWidget
{
    Q_OBJECT

public:
    enum class Tone { None, Red, Orange };

    explicit CapacityBanner(QWidget *parent = nullptr);

    // GET /api/profile; on success writes storageUsed/storageLimit and emits capacityChanged().
    void refreshCapacity();
    // GET /api/profile; sets the Session's company name (changed() only when it differs).
    void refreshCompanyName();
    // GET /api/capacity-expiry-alert; shows the red or orange banner, or keeps it hidden.
    void loadExpiryBanner();
    // Shows (or hides, for an empty text) the banner for one alert's data object.
    void showAlert(const QJsonObject &data);

    Tone tone() const { return m_tone; }
    QString text() const;

    bool eventFilter(QObject *watched, QEvent *event) override;

signals:
    // A click anywhere on the banner: open the personal centre.
    void openProfileRequested();
    // The "购买容量" button: open the personal centre at its capacity purchase section.
    void renewRequested();

private:
    QFrame *m_frame = nullptr;
    QLabel *m_text = nullptr;
    QPushButton *m_renew = nullptr;
    Tone m_tone = Tone::None;
};

struct ExpiryAlert
{
    QString text; // empty when no banner applies
    CapacityBanner::Tone tone = CapacityBanner::Tone::None;
};

// The banner text and colour for the data object of a capacity expiry alert.
ExpiryAlert expiryAlertFor(const QJsonObject &data);
// Sidebar quota text "used / limit" ("—" for an unknown limit) and the bar value 0..100.
QString quotaText(qint64 used, qint64 limit);
int quotaPercent(qint64 used, qint64 limit);
