#include "app/transferpage.h"

#include "app/transferdelegate.h"
#include "app/transferlistmodel.h"
#include "app/transfersettingspanel.h"
#include "transfer/transfermanager.h"
#include "ui/cdlg.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableView>
#include <QVBoxLayout>

namespace {
constexpr int RowHeight = 44;

const QString TabStyle =
    QStringLiteral("QPushButton{background:transparent;border:none;border-bottom:2px solid transparent;border-radius:0;"
                   "color:#5a667a;font-size:14px;padding:8px 4px;}"
                   "QPushButton:checked{color:#1A2A4A;font-weight:700;border-bottom:2px solid #C9A84C;}"
                   "QPushButton:hover{color:#1677ff;}");

const QString TableStyle =
    QStringLiteral("QTableView{border:none;background:#ffffff;gridline-color:transparent;outline:0;}"
                   "QTableView::item{border:none;border-bottom:1px solid #f2f4f8;color:#3a4a63;padding-left:6px;}"
                   "QTableView::item:selected{background:#eef4ff;color:#1f2b46;}");

QPushButton *tab(const QString &text, const QString &name, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setCheckable(true);
    button->setAutoExclusive(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(TabStyle);
    return button;
}

// Shows the pointing hand over a row's command links.
class LinkCursor final : public QObject
{
public:
    LinkCursor(QTableView *view, QObject *parent)
        : QObject(parent)
        , m_view(view)
    {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::MouseMove) {
            const QPoint pos = static_cast<QMouseEvent *>(event)->position().toPoint();
            const QModelIndex index = m_view->indexAt(pos);
            bool overLink = false;
            if (index.isValid() && index.column() == TransferListModel::ActionColumn) {
                const QStringList commands = index.data(TransferListModel::CommandsRole).toStringList();
                for (const QRect &rect :
                     TransferDelegate::commandRects(m_view->visualRect(index), commands, m_view->font()))
                    overLink = overLink || rect.contains(pos);
            }
            m_view->viewport()->setCursor(overLink ? Qt::PointingHandCursor : Qt::ArrowCursor);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QTableView *m_view;
};
} // namespace

TransferPage::TransferPage(TransferManager *manager, QWidget *parent)
    : QWidget(parent)
    , m_manager(manager)
    , m_openUrl([](const QUrl &url) { return QDesktopServices::openUrl(url); })
{
    setObjectName(QStringLiteral("SubPage"));
    setAttribute(Qt::WA_StyledBackground);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(20, 14, 20, 12);
    column->setSpacing(8);

    auto *head = new QHBoxLayout;
    head->setSpacing(18);
    auto *title = new QLabel(QStringLiteral("传输列表"), this);
    title->setStyleSheet(QStringLiteral("color:#1A2A4A;font-size:18px;font-weight:700;"));
    head->addWidget(title);
    m_listTab = tab(QStringLiteral("传输任务"), QStringLiteral("TransferListTab"), this);
    m_settingsTab = tab(QStringLiteral("传输设置"), QStringLiteral("TransferSettingsTab"), this);
    m_listTab->setChecked(true);
    head->addWidget(m_listTab);
    head->addWidget(m_settingsTab);
    head->addStretch();
    m_summary = new QLabel(this);
    m_summary->setObjectName(QStringLiteral("TransferSummary"));
    m_summary->setStyleSheet(QStringLiteral("color:#8a94a6;"));
    head->addWidget(m_summary);
    m_clearButton = new QPushButton(QStringLiteral("清除已完成"), this);
    m_clearButton->setObjectName(QStringLiteral("ClearFinished"));
    m_clearButton->setCursor(Qt::PointingHandCursor);
    head->addWidget(m_clearButton);
    column->addLayout(head);

    m_views = new QStackedWidget(this);
    auto *listPage = new QWidget(m_views);
    auto *listColumn = new QVBoxLayout(listPage);
    listColumn->setContentsMargins(0, 0, 0, 0);
    m_model = new TransferListModel(manager, this);
    m_table = new QTableView(listPage);
    m_table->setObjectName(QStringLiteral("TransferTable"));
    m_table->setAccessibleName(QStringLiteral("传输任务"));
    m_table->setModel(m_model);
    m_delegate = new TransferDelegate(m_table);
    m_table->setItemDelegate(m_delegate);
    m_table->setStyleSheet(TableStyle);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setShowGrid(false);
    m_table->setWordWrap(false);
    m_table->setMouseTracking(true);
    m_table->setIconSize(QSize(20, 20));
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(RowHeight);
    QHeaderView *header = m_table->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setHighlightSections(false);
    // Fixed widths: measuring contents would visit every one of a thousand rows.
    const int widths[] = {0, 64, 84, 150, 84, 76, 132, 150};
    for (int section = 0; section < TransferListModel::ColumnCount; ++section) {
        header->setSectionResizeMode(section, QHeaderView::Fixed);
        if (widths[section] > 0)
            header->resizeSection(section, widths[section]);
    }
    header->setSectionResizeMode(TransferListModel::NameColumn, QHeaderView::Stretch);
    m_table->viewport()->installEventFilter(new LinkCursor(m_table, this));
    listColumn->addWidget(m_table, 1);
    m_empty = new QLabel(QStringLiteral("暂无传输任务"), listPage);
    m_empty->setObjectName(QStringLiteral("TransferEmpty"));
    m_empty->setAlignment(Qt::AlignCenter);
    m_empty->setStyleSheet(QStringLiteral("color:#8a94a6;font-size:14px;"));
    listColumn->addWidget(m_empty, 1);
    m_views->addWidget(listPage);

    m_settings = new TransferSettingsPanel(m_views);
    m_settings->load(manager->settings());
    m_views->addWidget(m_settings);
    column->addWidget(m_views, 1);

    connect(m_delegate, &TransferDelegate::commandClicked, this, &TransferPage::runCommand);
    connect(m_listTab, &QPushButton::clicked, this, [this] { showView(ListView); });
    connect(m_settingsTab, &QPushButton::clicked, this, [this] { showView(SettingsView); });
    connect(m_clearButton, &QPushButton::clicked, m_manager, &TransferManager::clearFinished);
    connect(m_settings, &TransferSettingsPanel::saved, m_manager, [this](const TransferSettings &settings) {
        m_credentialProblem.clear();
        m_manager->applySettings(settings);
    });
    connect(m_manager, &TransferManager::credentialProblem, this, [this](const QString &text) {
        m_credentialProblem = text; // shown again whenever the settings are
        m_settings->showProblem(text);
    });
    connect(m_model, &QAbstractItemModel::rowsInserted, this, &TransferPage::updateSummary);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &TransferPage::updateSummary);
    connect(m_model, &QAbstractItemModel::modelReset, this, &TransferPage::updateSummary);
    connect(m_model, &QAbstractItemModel::dataChanged, this, &TransferPage::updateSummary);
    updateSummary();
}

void TransferPage::showView(View view)
{
    if (view == SettingsView) {
        m_settings->load(m_manager->settings()); // what is in force, not what was typed and left
        if (!m_credentialProblem.isEmpty())
            m_settings->showProblem(m_credentialProblem);
    }
    m_views->setCurrentIndex(view);
    m_listTab->setChecked(view == ListView);
    m_settingsTab->setChecked(view == SettingsView);
    m_clearButton->setVisible(view == ListView);
    m_summary->setVisible(view == ListView);
}

TransferPage::View TransferPage::currentView() const
{
    return View(m_views->currentIndex());
}

void TransferPage::runCommand(int row, const QString &command)
{
    TransferTask *task = m_model->taskAt(row);
    if (!task)
        return;
    if (command == TransferListModel::PauseCommand) {
        m_manager->pause(task);
    } else if (command == TransferListModel::ResumeCommand) {
        m_manager->resume(task);
    } else if (command == TransferListModel::RetryCommand) {
        m_manager->retry(task);
    } else if (command == TransferListModel::OpenFolderCommand) {
        m_openUrl(QUrl::fromLocalFile(task->localFolder()));
    } else if (command == TransferListModel::CancelCommand) {
        const QPointer<TransferTask> guard(task);
        const QString message = task->isUpload()
                                    ? QStringLiteral("确定取消上传「%1」？已上传的部分将被丢弃。").arg(task->name())
                                    : QStringLiteral("确定取消下载「%1」？已下载的部分将被删除。").arg(task->name());
        // The job may end, or leave the list, while the question is open.
        if (Cdlg::confirm(this, QStringLiteral("取消传输"), message, QStringLiteral("取消传输")) && guard)
            m_manager->cancel(guard);
    }
    m_model->flush();
}

void TransferPage::updateSummary()
{
    const QList<TransferTask *> &tasks = m_manager->tasks();
    const bool empty = tasks.isEmpty();
    m_table->setVisible(!empty);
    m_empty->setVisible(empty);
    int finished = 0;
    for (const TransferTask *task : tasks)
        finished += task->isUnfinished() ? 0 : 1;
    m_clearButton->setEnabled(finished > 0);
    m_summary->setText(QStringLiteral("共 %1 项 · 进行中 %2")
                           .arg(QString::number(tasks.size()), QString::number(m_manager->runningCount())));
}
