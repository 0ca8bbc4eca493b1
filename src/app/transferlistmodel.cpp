#include "app/transferlistmodel.h"

#include "files/fileicons.h"
#include "files/formatting.h"
#include "transfer/transfermanager.h"

#include <QColor>
#include <QIcon>
#include <QTimer>

namespace {
constexpr int IconSize = 20;

const char *const Headers[] = {"名称", "方向", "大小", "进度", "速度", "剩余时间", "状态", "操作"};

QColor stateColor(TransferTask::State state)
{
    switch (state) {
    case TransferTask::State::Queued:
    case TransferTask::State::Paused:
        return QColor(0x8a, 0x94, 0xa6);
    case TransferTask::State::Running:
        return QColor(0x16, 0x77, 0xff);
    case TransferTask::State::Verifying:
        return QColor(0xb8, 0x96, 0x3f);
    case TransferTask::State::Finished:
        return QColor(0x2f, 0x9e, 0x5f);
    case TransferTask::State::Failed:
        break;
    }
    return QColor(0xd4, 0x38, 0x0d);
}
} // namespace

TransferListModel::TransferListModel(TransferManager *manager, QObject *parent)
    : QAbstractTableModel(parent)
    , m_manager(manager)
    , m_rows(manager->tasks())
    , m_refresh(new QTimer(this))
{
    m_refresh->setSingleShot(true);
    m_refresh->setInterval(RefreshIntervalMs);
    connect(m_refresh, &QTimer::timeout, this, &TransferListModel::flush);

    connect(manager, &TransferManager::taskAdded, this, [this](int row) {
        beginInsertRows({}, row, row);
        m_rows.insert(row, m_manager->tasks().at(row));
        endInsertRows();
    });
    connect(manager, &TransferManager::taskAboutToBeRemoved, this, [this](int row) {
        beginRemoveRows({}, row, row);
        m_changed.remove(m_rows.takeAt(row));
        endRemoveRows();
    });
    connect(manager, &TransferManager::listAboutToBeReset, this, [this] { beginResetModel(); });
    connect(manager, &TransferManager::listReset, this, [this] {
        m_rows = m_manager->tasks();
        m_changed.clear();
        endResetModel();
    });
    connect(manager, &TransferManager::taskChanged, this, &TransferListModel::markChanged);
}

void TransferListModel::markChanged(TransferTask *task)
{
    m_changed.insert(task);
    if (!m_refresh->isActive())
        m_refresh->start();
}

void TransferListModel::flush()
{
    m_refresh->stop();
    if (m_changed.isEmpty())
        return;
    // One signal for the span of changed rows: the view repaints only the part it shows.
    int first = -1;
    int last = -1;
    for (int row = 0; row < m_rows.size(); ++row) {
        if (m_changed.contains(m_rows.at(row))) {
            if (first < 0)
                first = row;
            last = row;
        }
    }
    m_changed.clear();
    if (first < 0)
        return;
    ++m_refreshes;
    emit dataChanged(index(first, 0), index(last, ColumnCount - 1));
}

int TransferListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int TransferListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QStringList TransferListModel::commandsOf(const TransferTask *task)
{
    QStringList commands;
    if (task->canPause())
        commands << PauseCommand;
    if (task->canResume())
        commands << ResumeCommand;
    if (task->canRetry())
        commands << RetryCommand;
    if (task->canOpenFolder())
        commands << OpenFolderCommand;
    if (task->isUnfinished())
        commands << CancelCommand;
    return commands;
}

QString TransferListModel::etaText(int seconds)
{
    if (seconds < 0)
        return {};
    if (seconds < 60)
        return QStringLiteral("%1秒").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1分%2秒").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1小时%2分").arg(seconds / 3600).arg(seconds % 3600 / 60, 2, 10, QLatin1Char('0'));
}

QVariant TransferListModel::data(const QModelIndex &index, int role) const
{
    const TransferTask *task = taskAt(index.row());
    if (!task || !index.isValid())
        return {};
    switch (role) {
    case PercentRole:
        return task->percent();
    case StateRole:
        return int(task->state());
    case CommandsRole:
        return commandsOf(task);
    default:
        break;
    }

    const int column = index.column();
    if (role == Qt::DisplayRole) {
        switch (column) {
        case NameColumn:
            return task->name();
        case DirectionColumn:
            return task->isUpload() ? QStringLiteral("↑ 上传") : QStringLiteral("↓ 下载");
        case SizeColumn:
            return task->totalBytes() > 0 ? formatSize(task->totalBytes()) : QStringLiteral("—");
        case ProgressColumn: {
            const int percent = task->percent();
            return percent < 0 ? QString() : QStringLiteral("%1%").arg(percent);
        }
        case SpeedColumn:
            return task->isActive() ? formatSpeed(task->speed()) : QString();
        case EtaColumn:
            return task->isActive() ? etaText(task->etaSeconds()) : QString();
        case StateColumn:
            return task->stateText();
        default:
            return {};
        }
    }
    if (role == Qt::DecorationRole && column == NameColumn) {
        const QPixmap icon = fileIcon(task->name(), false, QString(), IconSize);
        return icon.isNull() ? QVariant() : QVariant(QIcon(icon));
    }
    if (role == Qt::ToolTipRole) {
        if (column == NameColumn)
            return task->localPath();
        if (column == StateColumn && task->isAutoPaused())
            return QStringLiteral("服务器连接中断，恢复后自动继续");
        if (column == StateColumn && task->state() == TransferTask::State::Paused && task->isFromLastRun())
            return QStringLiteral("上次运行时未完成，点击「继续」接着传输");
        if (column == StateColumn && !task->error().isEmpty())
            return task->error();
    }
    if (role == Qt::ForegroundRole && column == StateColumn)
        return stateColor(task->state());
    if (role == Qt::TextAlignmentRole && (column == SizeColumn || column == SpeedColumn || column == EtaColumn))
        return int(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

QVariant TransferListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromUtf8(Headers[section]);
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}
