#include "notify/notificationbell.h"

#include "net/httpclient.h"
#include "notify/popwidget.h"
#include "ui/svgicon.h"

#include <QJsonDocument>
#include <QPainter>
#include <QTimer>

namespace {
constexpr int BellSize = 36;
constexpr int IconSize = 18;
const QColor IconColor(0x5a, 0x64, 0x78);
const QColor BadgeFill(0xff, 0x4d, 0x4f);
constexpr int BadgeHeight = 14;
constexpr int BadgeNarrow = 14;
constexpr int BadgeWide = 18;
constexpr int BadgeInset = 2;
constexpr int BadgeFontPoints = 8;
constexpr int BadgeMaxExact = 99;
} // namespace

NotificationBell::NotificationBell(QWidget *parent)
    : QPushButton(parent)
{
    setObjectName(QStringLiteral("Bell"));
    setFlat(true);
    setFixedSize(BellSize, BellSize);
    setCursor(Qt::PointingHandCursor);
    setAccessibleName(QStringLiteral("消息通知"));
    connect(this, &QPushButton::clicked, this, &NotificationBell::openPopover);

    m_pollTimer = new QTimer(this);
    m_pollTimer->setObjectName(QStringLiteral("BellPoll"));
    m_pollTimer->setInterval(PollIntervalMs);
    connect(m_pollTimer, &QTimer::timeout, this, &NotificationBell::refreshCount);
    m_pollTimer->start();
    refreshCount();
}

NotificationBell::~NotificationBell()
{
    // The popover is a top-level window of its own; it must not outlive the bell.
    if (m_popover)
        delete m_popover.data();
}

void NotificationBell::setUpdateNotice(const QString &text)
{
    m_updateNotice = text;
}

QString NotificationBell::badgeText(int count)
{
    if (count <= 0)
        return {};
    return count <= BadgeMaxExact ? QString::number(count) : QStringLiteral("99+");
}

QRect NotificationBell::badgeRect(int count) const
{
    const QString text = badgeText(count);
    if (text.isEmpty())
        return {};
    const int w = text.size() == 1 ? BadgeNarrow : BadgeWide;
    return QRect(width() - w - BadgeInset, BadgeInset, w, BadgeHeight);
}

void NotificationBell::refreshCount()
{
    const quint64 generation = ++m_countGeneration;
    const QPointer<NotificationBell> self(this);
    HttpClient::instance()->get(QStringLiteral("/api/notifications/unread-count"),
                                [self, generation](const HttpResponse &response) {
                                    if (!self || generation != self->m_countGeneration)
                                        return;
                                    // Any failure reads as no unread notifications.
                                    int count = 0;
                                    if (response.json.isObject()) {
                                        const QJsonValue data = response.json.toObject().value(QStringLiteral("data"));
                                        count = data.toObject().value(QStringLiteral("count")).toInt(0);
                                    }
                                    self->setUnreadCount(count);
                                });
}

void NotificationBell::setUnreadCount(int count)
{
    const int bounded = qMax(0, count);
    if (bounded == m_unreadCount)
        return;
    m_unreadCount = bounded;
    update();
    refreshPopoverTitle();
}

void NotificationBell::paintEvent(QPaintEvent *event)
{
    QPushButton::paintEvent(event);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPixmap icon = svgIcon(SvgPaths::bell, IconSize, IconColor, devicePixelRatioF());
    painter.drawPixmap(QPointF((width() - IconSize) / 2.0, (height() - IconSize) / 2.0), icon);

    const QRect badge = badgeRect(m_unreadCount);
    if (badge.isEmpty())
        return;
    painter.setPen(Qt::NoPen);
    painter.setBrush(BadgeFill);
    painter.drawRoundedRect(badge, BadgeHeight / 2.0, BadgeHeight / 2.0);
    QFont font = painter.font();
    font.setPointSize(BadgeFontPoints);
    font.setWeight(QFont::Bold);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(badge, Qt::AlignCenter, badgeText(m_unreadCount));
}
