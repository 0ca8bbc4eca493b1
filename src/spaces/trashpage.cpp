#include "spaces/trashpage.h"

#include "files/filechangenotifier.h"
#include "files/fileicons.h"
#include "files/filerecord.h"
#include "files/formatting.h"
#include "net/httpresponse.h"
#include "spaces/trashapi.h"
#include "ui/cdlg.h"
#include "ui/listpagekit.h"
#include "ui/offlineoverlay.h"
#include "ui/rowbutton.h"

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

using namespace ListPageKit;

namespace {

const QString IdKey = QStringLiteral("id");
const QString NameKey = QStringLiteral("name");

constexpr int SizeWidth = 120;
constexpr int TimeWidth = 180;
constexpr int ActionWidth = 96;

} // namespace

TrashPage::TrashPage(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("SubPage"));
    setAttribute(Qt::WA_StyledBackground);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->setSpacing(10);

    layout->addWidget(titleLabel(QStringLiteral("回收站"), this));
    layout->addWidget(noteLabel(QStringLiteral("回收站文件保留 7 天，到期后自动彻底删除且不可恢复"), this));

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    m_selectAllButton = pageButton(QStringLiteral("全选"), "GoldBtn", this);
    m_restoreButton = pageButton(QStringLiteral("还原选中 (0)"), "Primary", this);
    m_purgeButton = pageButton(QStringLiteral("彻底删除选中 (0)"), "Danger", this);
    m_restoreButton->setEnabled(false);
    m_purgeButton->setEnabled(false);
    buttons->addWidget(m_selectAllButton);
    buttons->addWidget(m_restoreButton);
    buttons->addWidget(m_purgeButton);
    buttons->addStretch();
    layout->addLayout(buttons);

    // The table and its empty state share one area, which the failure state covers.
    auto *listArea = new QWidget(this);
    listArea->setObjectName(QStringLiteral("TrashListArea"));
    auto *listLayout = new QVBoxLayout(listArea);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->setSpacing(0);
    m_table = new QTableWidget(0, ColumnCount, listArea);
    m_table->setObjectName(QStringLiteral("TrashTable"));
    m_table->setAccessibleName(QStringLiteral("回收站文件"));
    setUpTable(
        m_table,
        {QString(), QStringLiteral("文件名"), QStringLiteral("大小"), QStringLiteral("删除时间"),
         QStringLiteral("操作")},
        NameColumn,
        {{CheckColumn, CheckWidth}, {SizeColumn, SizeWidth}, {TimeColumn, TimeWidth}, {ActionColumn, ActionWidth}});
    listLayout->addWidget(m_table, 1);

    m_emptyLabel = ListPageKit::emptyLabel(QStringLiteral("回收站为空"), listArea);
    listLayout->addWidget(m_emptyLabel, 1);
    layout->addWidget(listArea, 1);
    m_overlay = new OfflineOverlay(listArea);
    connect(m_overlay, &OfflineOverlay::retryRequested, this, &TrashPage::reload);

    connect(m_selectAllButton, &QPushButton::clicked, this, &TrashPage::toggleAll);
    connect(m_restoreButton, &QPushButton::clicked, this, [this] { doBatch(false); });
    connect(m_purgeButton, &QPushButton::clicked, this, [this] { doBatch(true); });
    connect(m_table, &QTableWidget::itemChanged, this, &TrashPage::updateButtons);
}

TrashPage::~TrashPage() = default;

void TrashPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    reload();
}

void TrashPage::reload()
{
    // The rows stay until an answer replaces them: with the server gone, an empty trash would
    // read as files deleted for good. Their check marks go, so the counts never promise rows that
    // may be gone once the list is in.
    {
        const QSignalBlocker blocker(m_table);
        for (int row = 0; row < m_table->rowCount(); ++row) {
            if (QTableWidgetItem *check = m_table->item(row, CheckColumn))
                check->setCheckState(Qt::Unchecked);
        }
    }
    updateButtons();
    // Only the latest request may fill the table: an older answer arriving last would bring back
    // rows that were restored or deleted since.
    const quint64 serial = ++m_listSerial;
    QPointer<TrashPage> self(this);
    Api::listTrash([self, serial](const HttpResponse &response) {
        if (!self || self->m_listSerial != serial)
            return;
        QJsonObject data;
        QString error;
        if (!response.unwrap(data, error)) {
            self->m_overlay->showFailure(response);
            return;
        }
        self->m_overlay->hide();
        self->applyList(response.dataArray());
    });
}

void TrashPage::applyList(const QJsonArray &items)
{
    m_table->setVisible(!items.isEmpty());
    m_emptyLabel->setVisible(items.isEmpty());
    {
        // One button update after the rows, not one per cell.
        const QSignalBlocker blocker(m_table);
        m_table->setRowCount(int(items.size()));
        for (int row = 0; row < items.size(); ++row) {
            const QJsonObject item = items.at(row).toObject();
            const QString id = jsonText(item, IdKey);
            const QString name = jsonText(item, NameKey);
            const bool folder = isFolderRecord(item);

            auto *check = new QTableWidgetItem;
            check->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
            check->setCheckState(Qt::Unchecked);
            check->setData(Qt::UserRole, id);
            m_table->setItem(row, CheckColumn, check);

            auto *nameItem = textItem(name);
            const QPixmap icon = fileIcon(name, folder, jsonText(item, QStringLiteral("mime_type")), IconSize);
            if (!icon.isNull())
                nameItem->setIcon(QIcon(icon));
            m_table->setItem(row, NameColumn, nameItem);

            m_table->setItem(row, SizeColumn,
                             textItem(folder ? QString() : formatSize(jsonInt64(item, QStringLiteral("size"), 0))));

            QString when = jsonText(item, QStringLiteral("trash_time"));
            if (when.isEmpty())
                when = jsonText(item, QStringLiteral("updated_at"));
            m_table->setItem(row, TimeColumn, textItem(formatDateTime(when)));

            m_table->setItem(row, ActionColumn, textItem(QString()));
            m_table->setCellWidget(row, ActionColumn, makeActionCell(id, name));
        }
    }
    updateButtons();
}

QWidget *TrashPage::makeActionCell(const QString &id, const QString &name)
{
    auto *cell = new QWidget(m_table);
    cell->setStyleSheet(QStringLiteral("background:transparent;"));
    auto *layout = new QHBoxLayout(cell);
    layout->setContentsMargins(6, 2, 6, 2);
    layout->setSpacing(2);
    layout->addStretch();
    auto *restore = makeRowButton(QStringLiteral("↺"), QStringLiteral("还原"), "RowIconBtn", cell);
    auto *purge = makeRowButton(QStringLiteral("🗑"), QStringLiteral("彻底删除"), "RowIconDanger", cell);
    layout->addWidget(restore);
    layout->addWidget(purge);
    layout->addStretch();

    QPointer<TrashPage> self(this);
    auto reloadIfAlive = [self](const HttpResponse &response) {
        // Restored and purged files change the storage used.
        QJsonObject data;
        QString error;
        if (response.unwrap(data, error))
            FileChangeNotifier::notify();
        if (self)
            self->reload();
    };
    // A restore can be undone by deleting again, so it asks nothing.
    connect(restore, &QToolButton::clicked, this, [id, reloadIfAlive] { Api::restoreTrashItem(id, reloadIfAlive); });
    connect(purge, &QToolButton::clicked, this, [self, id, name, reloadIfAlive] {
        if (!self)
            return;
        const bool yes = Cdlg::confirmDestructive(self, QStringLiteral("确认彻底删除"),
                                                  QStringLiteral("确定彻底删除「%1」吗？此操作不可恢复。").arg(name),
                                                  QStringLiteral("彻底删除"));
        // The confirmation runs its own event loop; the page may have gone meanwhile.
        if (!yes || !self)
            return;
        Api::purgeTrashItem(id, reloadIfAlive);
    });
    return cell;
}

void TrashPage::doBatch(bool permanent)
{
    const QStringList ids = checkedIds();
    if (ids.isEmpty()) {
        Cdlg::info(this, QStringLiteral("提示"), QStringLiteral("请先选择要操作的文件"));
        return;
    }
    QPointer<TrashPage> self(this);
    const bool yes =
        permanent
            ? Cdlg::confirmDestructive(this, QStringLiteral("确认批量彻底删除"),
                                       QStringLiteral("确定彻底删除选中的 %1 项吗？此操作不可恢复。").arg(ids.size()),
                                       QStringLiteral("彻底删除"))
            : Cdlg::confirm(this, QStringLiteral("确认批量还原"),
                            QStringLiteral("确定把选中的 %1 项还原到删除前的原目录吗？").arg(ids.size()),
                            QStringLiteral("还原"));
    if (!yes || !self)
        return;
    auto reloadIfAlive = [self](const HttpResponse &response) {
        // Restored and purged files change the storage used.
        QJsonObject data;
        QString error;
        if (response.unwrap(data, error))
            FileChangeNotifier::notify();
        if (self)
            self->reload();
    };
    if (permanent)
        Api::purgeTrashItems(ids, reloadIfAlive);
    else
        Api::restoreTrashItems(ids, reloadIfAlive);
}

void TrashPage::toggleAll()
{
    const int rows = m_table->rowCount();
    const bool uncheck = rows > 0 && checkedCount() == rows;
    {
        const QSignalBlocker blocker(m_table);
        for (int row = 0; row < rows; ++row) {
            if (QTableWidgetItem *item = m_table->item(row, CheckColumn))
                item->setCheckState(uncheck ? Qt::Unchecked : Qt::Checked);
        }
    }
    updateButtons();
}

void TrashPage::updateButtons()
{
    const int checked = checkedCount();
    const int rows = m_table->rowCount();
    m_restoreButton->setText(QStringLiteral("还原选中 (%1)").arg(checked));
    m_purgeButton->setText(QStringLiteral("彻底删除选中 (%1)").arg(checked));
    m_restoreButton->setEnabled(checked > 0);
    m_purgeButton->setEnabled(checked > 0);
    m_selectAllButton->setText(rows > 0 && checked == rows ? QStringLiteral("取消全选") : QStringLiteral("全选"));
}

int TrashPage::checkedCount() const
{
    int count = 0;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QTableWidgetItem *item = m_table->item(row, CheckColumn);
        if (item && item->checkState() == Qt::Checked)
            ++count;
    }
    return count;
}

QStringList TrashPage::checkedIds() const
{
    QStringList ids;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QTableWidgetItem *item = m_table->item(row, CheckColumn);
        if (item && item->checkState() == Qt::Checked)
            ids.append(item->data(Qt::UserRole).toString());
    }
    return ids;
}
