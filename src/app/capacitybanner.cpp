#include "app/capacitybanner.h"

#include "files/formatting.h"
#include "net/httpclient.h"
#include "net/jsonnumber.h"
#include "net/session.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <limits>

namespace {

constexpr char RenewStyle[] = "QPushButton#ExpiryRenewBtn{background:#C9A84C;color:#1A2A4A;border:none;"
                              "border-radius:6px;padding:4px 14px;font-weight:600;}";
constexpr char RedStyle[] = "QFrame#ExpiryBanner{background:#fff2f0;border:1px solid #ffccc7;border-radius:8px;}"
                            "QFrame#ExpiryBanner>QLabel{background:transparent;color:#a8071a;font-size:13px;}";
constexpr char OrangeStyle[] = "QFrame#ExpiryBanner{background:#fff7e6;border:1px solid #ffd591;border-radius:8px;}"
                               "QFrame#ExpiryBanner>QLabel{background:transparent;color:#ad4e00;font-size:13px;}";

constexpr qint64 MaxBytes = std::numeric_limits<qint64>::max();
// Whole gigabytes of one extension and days left: anything beyond these is not a real offer.
constexpr qint64 MaxCapacityGb = 1000LL * 1000 * 1000;
constexpr qint64 MaxDays = 100 * 366;

// The server's numbers may be missing or non-numeric; those count as nothing stored. A negative
// or out-of-range figure is clamped, never converted blindly.
qint64 numberOrZero(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isDouble() ? jsonBoundedInt64(value, 0, MaxBytes) : 0;
}

} // namespace

CapacityBanner::CapacityBanner(QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 0);
    layout->setSpacing(0);

    m_frame = new QFrame(this);
    m_frame->setObjectName(QStringLiteral("ExpiryBanner"));
    m_frame->setCursor(Qt::PointingHandCursor);
    m_frame->installEventFilter(this);
    layout->addWidget(m_frame);

    auto *frameLayout = new QHBoxLayout(m_frame);
    frameLayout->setContentsMargins(14, 10, 14, 10);
    frameLayout->setSpacing(10);
    m_text = new QLabel(m_frame);
    m_text->setObjectName(QStringLiteral("ExpiryText"));
    m_text->setWordWrap(true);
    frameLayout->addWidget(m_text, 1);
    m_renew = new QPushButton(QStringLiteral("购买容量"), m_frame);
    m_renew->setObjectName(QStringLiteral("ExpiryRenewBtn"));
    m_renew->setCursor(Qt::PointingHandCursor);
    m_renew->setStyleSheet(QString::fromLatin1(RenewStyle));
    frameLayout->addWidget(m_renew);
    connect(m_renew, &QPushButton::clicked, this, &CapacityBanner::renewRequested);

    hide();
}

QString CapacityBanner::text() const
{
    return m_text->text();
}

bool CapacityBanner::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_frame && event->type() == QEvent::MouseButtonPress) {
        emit openProfileRequested();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void CapacityBanner::refreshCapacity()
{
    // Only the process-wide Session is touched, so the answer is safe after this widget is gone.
    HttpClient::instance()->get(QStringLiteral("/api/profile"), [](const HttpResponse &response) {
        QJsonObject data;
        QString error;
        if (!response.unwrap(data, error))
            return;
        Session *session = Session::instance();
        session->storageUsed = numberOrZero(data, QStringLiteral("storage_used"));
        session->storageLimit = numberOrZero(data, QStringLiteral("storage_limit"));
        emit session->capacityChanged();
    });
}

void CapacityBanner::refreshCompanyName()
{
    HttpClient::instance()->get(QStringLiteral("/api/profile"), [](const HttpResponse &response) {
        QJsonObject data;
        QString error;
        if (!response.unwrap(data, error))
            return;
        Session::instance()->setCompanyName(data.value(QStringLiteral("company_name")).toString());
    });
}

void CapacityBanner::loadExpiryBanner()
{
    QPointer<CapacityBanner> self(this);
    HttpClient::instance()->get(QStringLiteral("/api/capacity-expiry-alert"), [self](const HttpResponse &response) {
        if (!self)
            return;
        QJsonObject data;
        QString error;
        if (!response.unwrap(data, error)) {
            self->hide();
            return;
        }
        self->showAlert(data);
    });
}

void CapacityBanner::showAlert(const QJsonObject &data)
{
    const ExpiryAlert alert = expiryAlertFor(data);
    m_tone = alert.tone;
    if (alert.text.isEmpty()) {
        hide();
        return;
    }
    m_text->setText(alert.text);
    m_frame->setStyleSheet(QString::fromLatin1(alert.tone == Tone::Red ? RedStyle : OrangeStyle));
    show();
}

ExpiryAlert expiryAlertFor(const QJsonObject &data)
{
    if (data.value(QStringLiteral("expiredOver")).toBool(false)) {
        const qint64 over = jsonBoundedInt64(data, QStringLiteral("overBytes"), 0, MaxBytes);
        return {QStringLiteral("⚠️ 您的存储扩容已到期，当前超出 "
                               "%1，上传/复制/解压已暂停，请及时续费或清理文件")
                    .arg(formatSize(over)),
                CapacityBanner::Tone::Red};
    }
    const QJsonArray expiring = data.value(QStringLiteral("expiring")).toArray();
    if (expiring.isEmpty())
        return {};
    const QJsonObject first = expiring.first().toObject();
    const QString more = expiring.size() == 1 ? QString() : QStringLiteral(" 等 %1 笔").arg(expiring.size());
    return {QStringLiteral("⏰ 您的 %1GB 扩容%2将于 %3 到期（剩余 %4 天），到期后容量将回落，请及时续费")
                // One multi-argument call: a server text holding "%4" must not be substituted again.
                .arg(QString::number(jsonBoundedInt64(first, QStringLiteral("capacity_gb"), 0, MaxCapacityGb)), more,
                     jsonText(first, QStringLiteral("expire_at")).left(10),
                     QString::number(jsonBoundedInt64(first, QStringLiteral("days"), 0, MaxDays))),
            CapacityBanner::Tone::Orange};
}

QString quotaText(qint64 used, qint64 limit)
{
    return QStringLiteral("%1 / %2").arg(formatQuotaSize(used),
                                         limit < 1 ? QStringLiteral("—") : formatQuotaSize(limit));
}

int quotaPercent(qint64 used, qint64 limit)
{
    if (limit < 1 || used <= 0)
        return 0;
    if (used >= limit)
        return 100;
    // used < limit here, so used * 100 only overflows for limits beyond ~92 PB; divide first then.
    if (used > std::numeric_limits<qint64>::max() / 100)
        return static_cast<int>(used / (limit / 100));
    return static_cast<int>(used * 100 / limit);
}
