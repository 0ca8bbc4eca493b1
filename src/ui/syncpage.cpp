#include "ui/syncpage.h"

#include "sync/syncmanager.h"
#include "ui/addsyncdialog.h"
#include "ui/cdlg.h"
#include "ui/listpagekit.h"
#include "ui/rowbutton.h"
#include "ui/syncdetaildialog.h"

#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

using namespace ListPageKit;

namespace {

constexpr int ServerWidth = 190;
constexpr int StateWidth = 140;
constexpr int TimeWidth = 150;
constexpr int ActionWidth = 260;
// The property that names a row button's action (the object name picks its look).
constexpr char ActionProperty[] = "syncAction";

// Done in the product's gold, what waits for the user or went wrong in red, a pause in grey,
// work in progress in the action blue.
QColor stateColour(SyncPairStatus::Kind kind)
{
    using Kind = SyncPairStatus::Kind;
    switch (kind) {
    case Kind::Synced:
        return QColor(0xb8, 0x96, 0x3f);
    case Kind::Syncing:
    case Kind::Starting:
        return QColor(0x16, 0x77, 0xff);
    case Kind::Failed:
    case Kind::NeedsConfirmation:
        return QColor(0xd4, 0x38, 0x0d);
    case Kind::Conflicted:
        return QColor(0xad, 0x68, 0x00);
    case Kind::Paused:
    case Kind::Stopped:
        break;
    }
    return QColor(0x8a, 0x93, 0xa6);
}

} // namespace

SyncPage::SyncPage(SyncManager *manager, QWidget *parent)
    : QWidget(parent)
    , m_manager(manager)
{
    setObjectName(QStringLiteral("SubPage"));
    setAttribute(Qt::WA_StyledBackground);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->setSpacing(10);
    layout->addWidget(titleLabel(QStringLiteral("同步"), this));
    auto *note = noteLabel(
        QStringLiteral("本地文件夹与服务器文件夹保持一致：删除的文件进入回收站，两边都改过的文件两份都保留"), this);
    layout->addWidget(note);

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    m_addButton = pageButton(QStringLiteral("添加同步"), "GoldBtn", this);
    buttons->addWidget(m_addButton);
    buttons->addStretch();
    layout->addLayout(buttons);

    m_table = new QTableWidget(0, ColumnCount, this);
    m_table->setObjectName(QStringLiteral("SyncTable"));
    m_table->setAccessibleName(QStringLiteral("同步列表"));
    setUpTable(
        m_table,
        {QStringLiteral("本地文件夹"), QStringLiteral("服务器文件夹"), QStringLiteral("状态"),
         QStringLiteral("上次同步"), QStringLiteral("操作")},
        LocalColumn,
        {{ServerColumn, ServerWidth}, {StateColumn, StateWidth}, {TimeColumn, TimeWidth}, {ActionColumn, ActionWidth}});
    m_table->setTextElideMode(Qt::ElideMiddle);
    m_table->setWordWrap(false);
    layout->addWidget(m_table, 1);

    m_emptyLabel = ListPageKit::emptyLabel(
        QStringLiteral(
            "还没有同步的文件夹\n点击「添加同步」，选一个本地文件夹和一个服务器文件夹，两边的文件就会保持一致"),
        this);
    layout->addWidget(m_emptyLabel, 1);

    connect(m_addButton, &QPushButton::clicked, this, &SyncPage::openAddDialog);
    connect(m_table, &QTableWidget::cellDoubleClicked, this, [this](int row) {
        if (row >= 0 && row < m_statuses.size())
            openDetail(m_statuses.at(row).id);
    });
    if (m_manager) {
        connect(m_manager, &SyncManager::pairsChanged, this, &SyncPage::refresh);
        connect(m_manager, &SyncManager::statusChanged, this, &SyncPage::refresh);
    }
    refresh();
}

SyncPage::~SyncPage() = default;

void SyncPage::refresh()
{
    showStatuses(m_manager ? m_manager->statuses() : QList<SyncPairStatus>());
}

void SyncPage::showStatuses(const QList<SyncPairStatus> &statuses)
{
    m_statuses = statuses;
    m_table->setVisible(!statuses.isEmpty());
    m_emptyLabel->setVisible(statuses.isEmpty());
    m_table->setRowCount(int(statuses.size()));
    for (int row = 0; row < statuses.size(); ++row) {
        const SyncPairStatus &status = statuses.at(row);
        auto *local = textItem(QDir::toNativeSeparators(status.localPath));
        local->setToolTip(local->text());
        m_table->setItem(row, LocalColumn, local);
        auto *server = textItem(status.folderPath);
        server->setToolTip(status.folderPath);
        m_table->setItem(row, ServerColumn, server);
        auto *state = textItem(SyncManager::stateText(status));
        state->setForeground(stateColour(status.kind));
        QFont bold = state->font();
        bold.setBold(status.kind != SyncPairStatus::Kind::Paused && status.kind != SyncPairStatus::Kind::Stopped);
        state->setFont(bold);
        if (!status.failures.isEmpty())
            state->setToolTip(status.failures.first().error);
        m_table->setItem(row, StateColumn, state);
        m_table->setItem(row, TimeColumn,
                         textItem(status.lastSynced.isValid()
                                      ? status.lastSynced.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                                      : QStringLiteral("—")));
        m_table->setItem(row, ActionColumn, textItem(QString()));
        m_table->setCellWidget(row, ActionColumn, makeActionCell(status));
    }
}

QWidget *SyncPage::makeActionCell(const SyncPairStatus &status)
{
    using Kind = SyncPairStatus::Kind;
    auto *cell = new QWidget(m_table);
    cell->setStyleSheet(QStringLiteral("QWidget{background:transparent;}QToolButton{font-size:13px;padding:0 4px;}"));
    auto *layout = new QHBoxLayout(cell);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->setSpacing(0);
    const QString id = status.id;
    // Only what applies in this state is shown: pause or continue, sync now unless a yes is awaited.
    const auto add = [&](const QString &text, const QString &tip, const char *look, const char *action, bool shown) {
        QToolButton *button = makeRowButton(text, tip, look, cell);
        button->setProperty(ActionProperty, QString::fromLatin1(action));
        button->setVisible(shown);
        button->setEnabled(shown);
        layout->addWidget(button);
        return button;
    };
    const bool paused = status.kind == Kind::Paused || status.kind == Kind::Stopped;
    const bool confirming = status.kind == Kind::NeedsConfirmation;
    QToolButton *confirm = nullptr;
    if (confirming)
        confirm = add(QStringLiteral("确认删除"), QStringLiteral("确认本轮的删除，或保持暂停"), "RowIconDanger",
                      "SyncConfirm", true);
    QToolButton *pause = add(QStringLiteral("暂停"), QStringLiteral("暂停同步"), "RowIconBtn", "SyncPause", !paused);
    QToolButton *resume = add(QStringLiteral("继续"), QStringLiteral("继续同步"), "RowIconBtn", "SyncResume",
                              status.kind == Kind::Paused);
    QToolButton *now = add(QStringLiteral("立即同步"), QStringLiteral("立即比较两边"), "RowIconBtn", "SyncNow",
                           !paused && !confirming);
    QToolButton *detail = add(QStringLiteral("详情"), QStringLiteral("错误与冲突"), "RowIconBtn", "SyncDetail", true);
    QToolButton *remove =
        add(QStringLiteral("移除"), QStringLiteral("移除同步（不删除文件）"), "RowIconDanger", "SyncRemove", true);
    layout->addStretch();

    if (confirm)
        connect(confirm, &QToolButton::clicked, this, [this, id] { askToConfirmDeletes(id); });
    connect(pause, &QToolButton::clicked, this, [this, id] {
        if (m_manager)
            m_manager->pause(id);
    });
    connect(resume, &QToolButton::clicked, this, [this, id] {
        if (m_manager)
            m_manager->resume(id);
    });
    connect(now, &QToolButton::clicked, this, [this, id] {
        if (m_manager)
            m_manager->syncNow(id);
    });
    connect(detail, &QToolButton::clicked, this, [this, id] { openDetail(id); });
    connect(remove, &QToolButton::clicked, this, [this, id] { removePair(id); });
    return cell;
}

QToolButton *SyncPage::rowButton(int row, const QString &name) const
{
    QWidget *cell = m_table->cellWidget(row, ActionColumn);
    if (!cell)
        return nullptr;
    for (QToolButton *button : cell->findChildren<QToolButton *>()) {
        if (button->property(ActionProperty).toString() == name)
            return button;
    }
    return nullptr;
}

void SyncPage::openAddDialog()
{
    if (!m_manager)
        return;
    auto *dialog = new AddSyncDialog(m_manager, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

void SyncPage::removePair(const QString &id)
{
    QString local;
    for (const SyncPairStatus &status : std::as_const(m_statuses)) {
        if (status.id == id)
            local = QDir::toNativeSeparators(status.localPath);
    }
    QPointer<SyncPage> self(this);
    const bool yes = Cdlg::confirm(
        this, QStringLiteral("移除同步"),
        QStringLiteral("确定移除「%1」的同步吗？\n本地和服务器上的文件都不会被删除，只是不再保持一致。").arg(local),
        QStringLiteral("移除"));
    // The question runs its own event loop: the page or the manager may be gone since.
    if (!yes || !self || !m_manager)
        return;
    m_manager->removePair(id);
}

void SyncPage::askToConfirmDeletes(const QString &id)
{
    int deletes = 0;
    QString local;
    for (const SyncPairStatus &status : std::as_const(m_statuses)) {
        if (status.id == id) {
            deletes = status.plannedDeletes;
            local = QDir::toNativeSeparators(status.localPath);
        }
    }
    QPointer<SyncPage> self(this);
    const bool yes =
        Cdlg::confirm(this, QStringLiteral("确认删除"),
                      QStringLiteral("「%1」的本轮同步将删除 %2 个文件（移入回收站），"
                                     "超过该文件夹文件的一半。\n如果这不是你做的（例如磁盘未挂载），请保持暂停并检查。")
                          .arg(local)
                          .arg(deletes),
                      QStringLiteral("确认删除"));
    if (!self || !m_manager)
        return;
    if (yes)
        m_manager->confirmDeletes(id);
    else
        m_manager->pause(id);
}

void SyncPage::openDetail(const QString &id)
{
    for (const SyncPairStatus &status : std::as_const(m_statuses)) {
        if (status.id != id)
            continue;
        auto *dialog = new SyncDetailDialog(status, this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->open();
        return;
    }
}
