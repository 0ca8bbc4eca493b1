#pragma once

#include "notify/popwidget.h"

#include <QJsonObject>
#include <QPointer>
#include <QPushButton>
#include <QRect>
#include <QStringList>
#include <functional>

class QFrame;
class QLabel;
class QScrollArea;
class QTimer;

// The header's bell: a red badge with the number of unread notifications (polled every 30 s),
// and on click a popover with the latest 50, each of which can be marked read or deleted. An
// update notice, when set, shows as a "软件更新" row above the list; clicking it asks for the
// update flow through updateRequested().
class NotificationBell final : public QPushButton
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NotificationBell)

public:
    static constexpr int PollIntervalMs = 30000;
    static constexpr int ListLimit = 50;
    static constexpr int PopoverWidth = 360;

    explicit NotificationBell(QWidget *parent = nullptr);
    ~NotificationBell() override;

    // The text of the update row; empty removes the row (from the next popover on).
    void setUpdateNotice(const QString &text);
    QString updateNotice() const { return m_updateNotice; }
    int unreadCount() const { return m_unreadCount; }
    QTimer *pollTimer() const { return m_pollTimer; }
    // The open popover, null when none.
    PopWidget *popover() const { return m_popover; }

    // Closes any open popover, builds a new one under the bell and requests the list.
    void openPopover();

    // The count as the badge shows it: decimal below 100, else "99+"; empty for none.
    static QString badgeText(int count);
    // Where the badge is drawn for a count; empty for none.
    QRect badgeRect(int count) const;

public slots:
    void refreshCount();

signals:
    // The update row was clicked.
    void updateRequested();

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *makeItemRow(const QJsonObject &item, QFrame *separator);
    QWidget *makeUpdateRow();
    void markRead(const QStringList &ids, std::function<void()> done);
    void readAllClicked();
    void showList(const QJsonArray &items);
    // Grows the open popover downwards to show its list, up to the list's maximum height.
    void fitPopover();
    void setUnreadCount(int count);
    // The open popover's header count, after the badge's.
    void refreshPopoverTitle();

    QTimer *m_pollTimer = nullptr;
    QString m_updateNotice;
    int m_unreadCount = 0;
    QPointer<PopWidget> m_popover;
    QPointer<QWidget> m_listBox;
    QPointer<QScrollArea> m_scroll;
    QPointer<QLabel> m_popTitle;
    QPointer<QPushButton> m_readAllButton;
    // Only the answer to the newest count request is applied.
    quint64 m_countGeneration = 0;
};
