// The bell's popover: the list of notifications, marking read, deleting and the update row.
#include "files/formatting.h"
#include "net/httpclient.h"
#include "notify/notificationbell.h"
#include "notify/popwidget.h"
#include "ui/svgicon.h"

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QLabel>
#include <QMouseEvent>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>
#include <memory>

namespace {
constexpr int PopoverOverlap = 4;
constexpr int ListMaxHeight = 360;
constexpr int CheckIconSize = 14;
constexpr int DotSize = 8;
const QColor CheckActive(0x16, 0x77, 0xff);
const QColor CheckDisabled(0xbf, 0xbf, 0xbf);

const QString TitleText = QStringLiteral("消息通知%1");
const QString TitleCountText = QStringLiteral("（%1 条未读）");
const QString TitleStyle = QStringLiteral("color:#1f2733;font-size:14px;font-weight:600;background:transparent;");
const QString LinkStyle =
    QStringLiteral("QPushButton{background:transparent;border:none;color:#1677ff;padding:0 2px;font-size:13px;}"
                   "QPushButton:hover{color:#4096ff;}QPushButton:disabled{color:#bfbfbf;}");
const QString DeleteStyle =
    QStringLiteral("QPushButton{background:transparent;border:none;color:#ff4d4f;padding:0 2px;font-size:13px;}"
                   "QPushButton:hover{color:#ff7875;}");
const QString HeaderRuleStyle = QStringLiteral("QFrame{background:#f0f0f0;border:none;max-height:1px;}");
const QString RowRuleStyle = QStringLiteral("QFrame{background:#f5f6f8;border:none;max-height:1px;}");
const QString ScrollStyle = QStringLiteral("QScrollArea{background:transparent;border:none;} "
                                           "QWidget#listBox{background:transparent;} "
                                           "QScrollBar{background:transparent;border:none;}");
const QString LoadingStyle = QStringLiteral("color:#8a93a6;font-size:13px;padding:24px 0;background:transparent;");
const QString EmptyStyle = QStringLiteral("color:#b0b7c3;font-size:13px;padding:28px 0;background:transparent;");
const QString DotStyle = QStringLiteral("background:%1;border-radius:4px;");
const QString UnreadTitleStyle =
    QStringLiteral("color:#1f2733;font-size:14px;font-weight:bold;background:transparent;");
const QString ReadTitleStyle =
    QStringLiteral("color:#8a93a6;font-size:14px;font-weight:normal;background:transparent;");
const QString ContentStyle = QStringLiteral("color:#4a5568;font-size:13px;background:transparent;");
const QString TimeStyle = QStringLiteral("color:#b0b7c3;font-size:12px;background:transparent;");
const QString UpdateDotStyle = QStringLiteral("background:#C9A84C;border-radius:4px;");
const QString UnreadDotColor = QStringLiteral("#1677ff");
const QString ReadDotColor = QStringLiteral("transparent");

QFrame *makeRule(QWidget *parent, const QString &style)
{
    auto *rule = new QFrame(parent);
    rule->setFrameShape(QFrame::HLine);
    rule->setStyleSheet(style);
    return rule;
}

QString titleFor(int unread)
{
    return TitleText.arg(unread > 0 ? TitleCountText.arg(unread) : QString());
}
} // namespace

void NotificationBell::refreshPopoverTitle()
{
    if (m_popTitle)
        m_popTitle->setText(titleFor(m_unreadCount));
}

void NotificationBell::openPopover()
{
    if (m_popover)
        m_popover->close(); // deletes itself

    auto *pop = new PopWidget(nullptr);
    pop->setWindowFlags(Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint);
    pop->setAttribute(Qt::WA_DeleteOnClose);
    pop->setAttribute(Qt::WA_TranslucentBackground);
    m_popover = pop;

    auto *outer = new QVBoxLayout(pop);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *card = new QWidget(pop);
    card->setObjectName(QStringLiteral("PopCard"));
    card->setAutoFillBackground(false);
    outer->addWidget(card);
    auto *column = new QVBoxLayout(card);
    column->setContentsMargins(16, 14, 16, 12);
    column->setSpacing(8);

    auto *header = new QHBoxLayout;
    auto *title = new QLabel(titleFor(m_unreadCount), card);
    title->setObjectName(QStringLiteral("popTitle"));
    title->setStyleSheet(TitleStyle);
    header->addWidget(title);
    header->addStretch();
    auto *readAll = new QPushButton(QStringLiteral("全部已读"), card);
    readAll->setObjectName(QStringLiteral("readAll"));
    readAll->setCursor(Qt::PointingHandCursor);
    readAll->setIcon(
        svgIcon(SvgPaths::check, CheckIconSize, m_unreadCount > 0 ? CheckActive : CheckDisabled, devicePixelRatioF()));
    readAll->setIconSize(QSize(CheckIconSize, CheckIconSize));
    readAll->setStyleSheet(LinkStyle);
    readAll->setEnabled(m_unreadCount > 0);
    connect(readAll, &QPushButton::clicked, this, &NotificationBell::readAllClicked);
    header->addWidget(readAll);
    column->addLayout(header);
    column->addWidget(makeRule(card, HeaderRuleStyle));

    auto *scroll = new QScrollArea(card);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setMaximumHeight(ListMaxHeight);
    scroll->setStyleSheet(ScrollStyle);
    scroll->viewport()->setAutoFillBackground(false);
    auto *listBox = new QWidget;
    listBox->setObjectName(QStringLiteral("listBox"));
    auto *list = new QVBoxLayout(listBox);
    list->setContentsMargins(0, 0, 6, 0);
    list->setSpacing(0);
    scroll->setWidget(listBox);
    column->addWidget(scroll);
    m_listBox = listBox;
    m_scroll = scroll;
    m_popTitle = title;
    m_readAllButton = readAll;

    if (!m_updateNotice.isEmpty()) {
        list->addWidget(makeUpdateRow());
        list->addWidget(makeRule(listBox, RowRuleStyle));
    }
    auto *loading = new QLabel(QStringLiteral("加载中…"), listBox);
    loading->setObjectName(QStringLiteral("popLoading"));
    loading->setAlignment(Qt::AlignCenter);
    loading->setStyleSheet(LoadingStyle);
    list->addWidget(loading);

    pop->show();
    const int height = pop->sizeHint().height();
    const QPoint origin = mapToGlobal(QPoint(0, 0));
    pop->setGeometry(origin.x() + width() - PopoverWidth, origin.y() + this->height() - PopoverOverlap, PopoverWidth,
                     height);

    const QPointer<NotificationBell> self(this);
    const QPointer<PopWidget> guardPop(pop);
    const QPointer<QWidget> guardList(listBox);
    const QPointer<QLabel> guardLoading(loading);
    HttpClient::instance()->get(QStringLiteral("/api/notifications?limit=%1").arg(ListLimit),
                                [self, guardPop, guardList, guardLoading](const HttpResponse &response) {
                                    if (!self || !guardPop || !guardList)
                                        return;
                                    if (guardLoading)
                                        delete guardLoading.data();
                                    self->showList(response.dataArray());
                                });
}

void NotificationBell::showList(const QJsonArray &items)
{
    auto *list = qobject_cast<QVBoxLayout *>(m_listBox->layout());
    for (const QJsonValue &value : items) {
        QFrame *rule = makeRule(m_listBox, RowRuleStyle);
        list->addWidget(makeItemRow(value.toObject(), rule));
        list->addWidget(rule);
    }
    if (items.isEmpty()) {
        auto *empty = new QLabel(QStringLiteral("暂无消息"), m_listBox);
        empty->setObjectName(QStringLiteral("popEmpty"));
        empty->setAlignment(Qt::AlignCenter);
        empty->setStyleSheet(EmptyStyle);
        list->addWidget(empty);
    }
    list->addStretch();
    fitPopover();
}

void NotificationBell::fitPopover()
{
    if (!m_popover || !m_scroll || !m_listBox)
        return;
    // Sized while only "加载中…" was in it, the popover would leave the list a sliver; it keeps its
    // top-right corner under the bell and grows down to the list's natural height.
    // Rows added to a visible list are shown only on the next event loop pass, and until then the
    // layout leaves them out of its size; show them now so the size below counts them.
    for (QWidget *row : m_listBox->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!row->testAttribute(Qt::WA_WState_ExplicitShowHide))
            row->show();
    }
    m_listBox->adjustSize();
    m_scroll->setFixedHeight(qMin(m_listBox->sizeHint().height(), ListMaxHeight));
    // The popover's layout keeps the card's old size hint until told; asked now, not on the next
    // layout pass, so the geometry below is the grown one.
    m_scroll->parentWidget()->updateGeometry();
    const QRect geometry = m_popover->geometry();
    m_popover->setGeometry(geometry.x(), geometry.y(), geometry.width(), m_popover->sizeHint().height());
}

QWidget *NotificationBell::makeItemRow(const QJsonObject &item, QFrame *separator)
{
    const QString id = jsonText(item, QStringLiteral("id"));
    // Shared by both buttons, so marking read and deleting see each other's effect.
    const auto unread = std::make_shared<bool>(item.value(QStringLiteral("is_read")).toInt(0) == 0);

    auto *row = new QWidget(m_listBox);
    row->setObjectName(QStringLiteral("noticeRow"));
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 8, 0, 8);
    layout->setSpacing(8);

    auto *dot = new QLabel(row);
    dot->setObjectName(QStringLiteral("dot"));
    dot->setFixedSize(DotSize, DotSize);
    dot->setStyleSheet(DotStyle.arg(*unread ? UnreadDotColor : ReadDotColor));
    layout->addWidget(dot, 0, Qt::AlignTop | Qt::AlignHCenter);

    auto *texts = new QVBoxLayout;
    texts->setContentsMargins(0, 0, 0, 0);
    texts->setSpacing(2);
    const QString titleText = item.value(QStringLiteral("title")).toString();
    auto *title = new QLabel(titleText.isEmpty() ? QStringLiteral("通知") : titleText, row);
    title->setObjectName(QStringLiteral("title"));
    title->setWordWrap(true);
    title->setStyleSheet(*unread ? UnreadTitleStyle : ReadTitleStyle);
    texts->addWidget(title);
    auto *content = new QLabel(item.value(QStringLiteral("content")).toString(), row);
    content->setObjectName(QStringLiteral("content"));
    content->setWordWrap(true);
    content->setTextInteractionFlags(Qt::TextSelectableByMouse);
    content->setStyleSheet(ContentStyle);
    texts->addWidget(content);
    auto *time = new QLabel(formatShortTime(item.value(QStringLiteral("created_at")).toString()), row);
    time->setObjectName(QStringLiteral("time"));
    time->setStyleSheet(TimeStyle);
    texts->addWidget(time);
    layout->addLayout(texts, 1);

    auto *readLink = new QPushButton(QStringLiteral("已读"), row);
    readLink->setObjectName(QStringLiteral("readLink"));
    readLink->setCursor(Qt::PointingHandCursor);
    readLink->setStyleSheet(LinkStyle);
    readLink->setVisible(*unread);
    layout->addWidget(readLink, 0, Qt::AlignTop);
    auto *delLink = new QPushButton(QStringLiteral("删除"), row);
    delLink->setObjectName(QStringLiteral("delLink"));
    delLink->setCursor(Qt::PointingHandCursor);
    delLink->setStyleSheet(DeleteStyle);
    layout->addWidget(delLink, 0, Qt::AlignTop);

    const QPointer<QLabel> guardDot(dot);
    const QPointer<QLabel> guardTitle(title);
    const QPointer<QPushButton> guardRead(readLink);
    connect(readLink, &QPushButton::clicked, this, [this, id, unread, guardDot, guardTitle, guardRead] {
        if (!*unread)
            return;
        markRead({id}, {});
        // Shown as read at once; the count that follows the reply corrects the badge if it failed.
        *unread = false;
        if (guardDot)
            guardDot->setStyleSheet(DotStyle.arg(ReadDotColor));
        if (guardTitle)
            guardTitle->setStyleSheet(ReadTitleStyle);
        if (guardRead)
            guardRead->hide();
        setUnreadCount(m_unreadCount - 1);
    });

    const QPointer<QWidget> guardRow(row);
    const QPointer<QFrame> guardRule(separator);
    connect(delLink, &QPushButton::clicked, this, [this, id, unread, guardRow, guardRule] {
        const QPointer<NotificationBell> self(this);
        HttpClient::instance()->del(
            QStringLiteral("/api/notifications/") + QString::fromLatin1(QUrl::toPercentEncoding(id)),
            [self, unread, guardRow, guardRule](const HttpResponse &response) {
                if (!self)
                    return;
                const bool success =
                    response.json.isObject() && response.json.toObject().value(QStringLiteral("success")).toBool();
                if (!success)
                    return;
                if (*unread) {
                    *unread = false;
                    self->setUnreadCount(self->m_unreadCount - 1);
                }
                if (guardRow)
                    guardRow->deleteLater();
                if (guardRule)
                    guardRule->deleteLater();
                self->refreshCount();
            });
    });
    return row;
}

QWidget *NotificationBell::makeUpdateRow()
{
    auto *row = new QWidget(m_listBox ? m_listBox.data() : nullptr);
    row->setObjectName(QStringLiteral("updateRow"));
    row->setCursor(Qt::PointingHandCursor);
    row->installEventFilter(this);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 8, 0, 8);
    layout->setSpacing(8);
    // Not named "dot": reading everything leaves the update's gold mark alone.
    auto *mark = new QLabel(row);
    mark->setFixedSize(DotSize, DotSize);
    mark->setStyleSheet(UpdateDotStyle);
    layout->addWidget(mark, 0, Qt::AlignTop | Qt::AlignHCenter);
    auto *texts = new QVBoxLayout;
    texts->setContentsMargins(0, 0, 0, 0);
    texts->setSpacing(2);
    auto *title = new QLabel(QStringLiteral("软件更新"), row);
    title->setStyleSheet(UnreadTitleStyle);
    texts->addWidget(title);
    auto *notice = new QLabel(m_updateNotice, row);
    notice->setObjectName(QStringLiteral("updateNotice"));
    notice->setWordWrap(true);
    notice->setStyleSheet(ContentStyle);
    texts->addWidget(notice);
    layout->addLayout(texts, 1);
    return row;
}

bool NotificationBell::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonRelease && watched->objectName() == QLatin1String("updateRow") &&
        static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        // The notice says "点击升级": the click closes the list and asks for the update flow.
        if (m_popover)
            m_popover->close();
        emit updateRequested();
        return true;
    }
    return QPushButton::eventFilter(watched, event);
}

void NotificationBell::markRead(const QStringList &ids, std::function<void()> done)
{
    QJsonObject body;
    if (!ids.isEmpty())
        body.insert(QStringLiteral("ids"), QJsonArray::fromStringList(ids));
    const QPointer<NotificationBell> self(this);
    HttpClient::instance()->post(QStringLiteral("/api/notifications/read"), body,
                                 [self, done = std::move(done)](const HttpResponse &) {
                                     if (!self)
                                         return;
                                     if (done)
                                         done();
                                     self->refreshCount();
                                 });
}

void NotificationBell::readAllClicked()
{
    markRead({}, {});
    // Everything looks read at once, without waiting for the reply.
    if (m_listBox) {
        for (QLabel *dot : m_listBox->findChildren<QLabel *>(QStringLiteral("dot")))
            dot->setStyleSheet(DotStyle.arg(ReadDotColor));
        for (QLabel *title : m_listBox->findChildren<QLabel *>(QStringLiteral("title")))
            title->setStyleSheet(ReadTitleStyle);
        for (QPushButton *link : m_listBox->findChildren<QPushButton *>(QStringLiteral("readLink")))
            link->hide();
    }
    setUnreadCount(0);
    if (m_popTitle)
        m_popTitle->setText(titleFor(0));
    if (m_readAllButton) {
        m_readAllButton->setEnabled(false);
        m_readAllButton->setIcon(svgIcon(SvgPaths::check, CheckIconSize, CheckDisabled, devicePixelRatioF()));
    }
}
