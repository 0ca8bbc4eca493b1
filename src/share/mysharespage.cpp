#include "share/mysharespage.h"

#include "files/fileicons.h"
#include "files/formatting.h"
#include "net/httpresponse.h"
#include "share/shareapi.h"
#include "share/sharetexts.h"
#include "ui/cdlg.h"
#include "ui/listpagekit.h"
#include "ui/rowbutton.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <utility>

using namespace ListPageKit;

namespace {

const QString ActiveState = QStringLiteral("active");

constexpr int TimeWidth = 150;
constexpr int CountsWidth = 100;
constexpr int StateWidth = 96;
constexpr int ActionWidth = 110;

// A live link in the product's gold-on-navy; links that no longer open are greyed, a deleted file in red.
QColor stateColour(const QString &state)
{
    if (state == QLatin1String("active"))
        return QColor(0xb8, 0x96, 0x3f);
    if (state == QLatin1String("deleted"))
        return QColor(0xd4, 0x38, 0x0d);
    return QColor(0x8a, 0x93, 0xa6);
}

qint64 linkId(const QJsonObject &link)
{
    return jsonInt64(link, QStringLiteral("id"), -1);
}

} // namespace

MySharesPage::MySharesPage(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("SubPage"));
    setAttribute(Qt::WA_StyledBackground);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->setSpacing(10);

    layout->addWidget(titleLabel(QStringLiteral("我的分享"), this));
    layout->addWidget(
        noteLabel(QStringLiteral("分享链接可发给没有账号的客户和合作伙伴；取消分享后链接立即失效，无法再打开"), this));

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    m_selectAllButton = pageButton(QStringLiteral("全选"), "GoldBtn", this);
    m_cancelButton = pageButton(QStringLiteral("取消分享选中 (0)"), "Danger", this);
    m_cancelButton->setEnabled(false);
    m_refreshButton = pageButton(QStringLiteral("刷新"), nullptr, this);
    m_statusLabel = new QLabel(this);
    m_statusLabel->setObjectName(QStringLiteral("Muted"));
    buttons->addWidget(m_selectAllButton);
    buttons->addWidget(m_cancelButton);
    buttons->addStretch();
    buttons->addWidget(m_statusLabel);
    buttons->addWidget(m_refreshButton);
    layout->addLayout(buttons);

    m_table = new QTableWidget(0, ColumnCount, this);
    m_table->setObjectName(QStringLiteral("SharesTable"));
    m_table->setAccessibleName(QStringLiteral("分享链接列表"));
    setUpTable(m_table,
               {QString(), QStringLiteral("文件名"), QStringLiteral("创建时间"), QStringLiteral("到期时间"),
                QStringLiteral("浏览 / 下载"), QStringLiteral("状态"), QStringLiteral("操作")},
               NameColumn,
               {{CheckColumn, CheckWidth},
                {CreatedColumn, TimeWidth},
                {ExpiresColumn, TimeWidth},
                {CountsColumn, CountsWidth},
                {StateColumn, StateWidth},
                {ActionColumn, ActionWidth}});
    layout->addWidget(m_table, 1);

    m_emptyLabel = ListPageKit::emptyLabel(QStringLiteral("还没有分享过文件"), this);
    layout->addWidget(m_emptyLabel, 1);

    connect(m_selectAllButton, &QPushButton::clicked, this, &MySharesPage::toggleAll);
    connect(m_cancelButton, &QPushButton::clicked, this, &MySharesPage::cancelChecked);
    connect(m_refreshButton, &QPushButton::clicked, this, &MySharesPage::reload);
    connect(m_table, &QTableWidget::itemChanged, this, &MySharesPage::updateButtons);
}

MySharesPage::~MySharesPage() = default;

void MySharesPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    reload();
}

void MySharesPage::reload()
{
    m_table->setRowCount(0);
    m_links.clear();
    updateButtons();
    m_statusLabel->setText(QStringLiteral("加载中…"));

    const quint64 serial = ++m_listSerial;
    QPointer<MySharesPage> self(this);
    Api::listShares([self, serial](const HttpResponse &response) {
        if (!self || self->m_listSerial != serial)
            return;
        QJsonObject data;
        QString error;
        if (!response.unwrap(data, error)) {
            self->m_statusLabel->setText(QStringLiteral("加载失败：%1").arg(error));
            return;
        }
        // What the last action did stays readable above the list it changed.
        self->m_statusLabel->setText(std::exchange(self->m_pendingNote, QString()));
        self->applyList(response.dataArray());
    });
}

QJsonObject MySharesPage::linkAt(int row) const
{
    return row >= 0 && row < m_links.size() ? m_links.at(row) : QJsonObject();
}

void MySharesPage::applyList(const QJsonArray &links)
{
    m_table->setVisible(!links.isEmpty());
    m_emptyLabel->setVisible(links.isEmpty());
    const QSignalBlocker blocker(m_table);
    m_table->setRowCount(int(links.size()));
    for (int row = 0; row < links.size(); ++row) {
        const QJsonObject link = links.at(row).toObject();
        m_links.append(link);
        const QString state = jsonText(link, QStringLiteral("state"));
        const bool active = state == ActiveState;

        // Only a live link can be cancelled, so only live rows take a check mark.
        auto *check = new QTableWidgetItem;
        check->setFlags(active ? Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable
                               : Qt::ItemIsSelectable);
        if (active)
            check->setCheckState(Qt::Unchecked);
        check->setData(Qt::UserRole, linkId(link));
        m_table->setItem(row, CheckColumn, check);

        const QString name = jsonText(link, QStringLiteral("name"));
        const bool folder = link.value(QStringLiteral("isFolder")).toBool();
        auto *nameItem = textItem(name);
        const QPixmap icon = fileIcon(name, folder, QString(), IconSize);
        if (!icon.isNull())
            nameItem->setIcon(QIcon(icon));
        m_table->setItem(row, NameColumn, nameItem);

        m_table->setItem(row, CreatedColumn, textItem(formatDateTime(jsonText(link, QStringLiteral("createdAt")))));
        m_table->setItem(row, ExpiresColumn,
                         textItem(ShareText::expiryText(jsonText(link, QStringLiteral("expiresAt")))));
        m_table->setItem(row, CountsColumn,
                         textItem(QStringLiteral("%1 / %2")
                                      .arg(jsonInt64(link, QStringLiteral("views"), 0))
                                      .arg(jsonInt64(link, QStringLiteral("downloads"), 0))));
        auto *stateItem = textItem(ShareText::stateText(state));
        stateItem->setForeground(stateColour(state));
        if (active) {
            QFont bold = stateItem->font();
            bold.setBold(true);
            stateItem->setFont(bold);
        }
        m_table->setItem(row, StateColumn, stateItem);

        m_table->setItem(row, ActionColumn, textItem(QString()));
        if (active)
            m_table->setCellWidget(row, ActionColumn, makeActionCell(link));
    }
    updateButtons();
}

QWidget *MySharesPage::makeActionCell(const QJsonObject &link)
{
    auto *cell = new QWidget(m_table);
    cell->setStyleSheet(QStringLiteral("QWidget{background:transparent;}QToolButton{font-size:13px;padding:0 6px;}"));
    auto *layout = new QHBoxLayout(cell);
    layout->setContentsMargins(6, 2, 6, 2);
    layout->setSpacing(2);
    layout->addStretch();
    auto *copy = makeRowButton(QStringLiteral("复制"), QStringLiteral("复制链接"), "RowIconBtn", cell);
    auto *cancel = makeRowButton(QStringLiteral("取消"), QStringLiteral("取消分享"), "RowIconDanger", cell);
    layout->addWidget(copy);
    layout->addWidget(cancel);
    layout->addStretch();
    connect(copy, &QToolButton::clicked, this, [this, link] { copyLink(link); });
    connect(cancel, &QToolButton::clicked, this, [this, link] { cancelOne(link); });
    return cell;
}

void MySharesPage::copyLink(const QJsonObject &link)
{
    const QString code = jsonText(link, QStringLiteral("code"));
    QGuiApplication::clipboard()->setText(ShareText::copyText(jsonText(link, QStringLiteral("url")), code));
    m_statusLabel->setText(code.isEmpty() ? QStringLiteral("已复制链接") : QStringLiteral("已复制链接和提取码"));
}

void MySharesPage::cancelOne(const QJsonObject &link)
{
    QPointer<MySharesPage> self(this);
    const bool yes = Cdlg::confirm(
        this, QStringLiteral("取消分享"),
        QStringLiteral("确定取消「%1」的分享吗？取消后链接立即失效。").arg(jsonText(link, QStringLiteral("name"))),
        QStringLiteral("取消分享"));
    // The confirmation runs its own event loop; the page may have gone meanwhile.
    if (!yes || !self)
        return;
    sendCancel({linkId(link)});
}

void MySharesPage::cancelChecked()
{
    const QList<qint64> ids = checkedIds();
    if (ids.isEmpty()) {
        Cdlg::info(this, QStringLiteral("提示"), QStringLiteral("请先选择要取消的分享"));
        return;
    }
    QPointer<MySharesPage> self(this);
    const bool yes = Cdlg::confirm(this, QStringLiteral("批量取消分享"),
                                   QStringLiteral("确定取消选中的 %1 个分享吗？取消后链接立即失效。").arg(ids.size()),
                                   QStringLiteral("取消分享"));
    if (!yes || !self)
        return;
    sendCancel(ids);
}

void MySharesPage::sendCancel(const QList<qint64> &ids)
{
    QPointer<MySharesPage> self(this);
    Api::cancelShares(ids, [self](const HttpResponse &response) {
        if (!self)
            return;
        QJsonObject data;
        QString error;
        const bool ok = response.unwrap(data, error);
        if (ok)
            self->m_pendingNote =
                QStringLiteral("已取消 %1 个分享").arg(jsonInt64(data, QStringLiteral("cancelled"), 0));
        self->reload();
        if (!ok)
            Cdlg::info(self, QStringLiteral("取消分享失败"), error);
    });
}

void MySharesPage::toggleAll()
{
    const int checkable = checkableCount();
    const bool uncheck = checkable > 0 && checkedIds().size() == checkable;
    {
        const QSignalBlocker blocker(m_table);
        for (int row = 0; row < m_table->rowCount(); ++row) {
            QTableWidgetItem *item = m_table->item(row, CheckColumn);
            if (item && (item->flags() & Qt::ItemIsUserCheckable))
                item->setCheckState(uncheck ? Qt::Unchecked : Qt::Checked);
        }
    }
    updateButtons();
}

void MySharesPage::updateButtons()
{
    const int checked = int(checkedIds().size());
    const int checkable = checkableCount();
    m_cancelButton->setText(QStringLiteral("取消分享选中 (%1)").arg(checked));
    m_cancelButton->setEnabled(checked > 0);
    m_selectAllButton->setEnabled(checkable > 0);
    m_selectAllButton->setText(checkable > 0 && checked == checkable ? QStringLiteral("取消全选")
                                                                     : QStringLiteral("全选"));
}

int MySharesPage::checkableCount() const
{
    int count = 0;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QTableWidgetItem *item = m_table->item(row, CheckColumn);
        if (item && (item->flags() & Qt::ItemIsUserCheckable))
            ++count;
    }
    return count;
}

QList<qint64> MySharesPage::checkedIds() const
{
    QList<qint64> ids;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QTableWidgetItem *item = m_table->item(row, CheckColumn);
        if (item && (item->flags() & Qt::ItemIsUserCheckable) && item->checkState() == Qt::Checked)
            ids.append(item->data(Qt::UserRole).toLongLong());
    }
    return ids;
}
