#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QSet>
#include <QStringList>

class QTimer;
class TransferManager;
class TransferTask;

// The transfer list as a table: one row per job of a TransferManager. Progress arrives many times a
// second per job; the rows that changed are redrawn together at most RefreshIntervalMs apart, so a
// list of a thousand running jobs stays cheap.
class TransferListModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TransferListModel)

public:
    enum Column {
        NameColumn,
        DirectionColumn,
        SizeColumn,
        ProgressColumn,
        SpeedColumn,
        EtaColumn,
        StateColumn,
        ActionColumn,
        ColumnCount
    };
    enum Role {
        PercentRole = Qt::UserRole + 1, // int 0..100, -1 while unknown
        StateRole,                      // int of TransferTask::State
        CommandsRole,                   // QStringList of the row's commands, in order
    };
    static constexpr int RefreshIntervalMs = 250;

    // The commands a row may offer.
    static inline const QString PauseCommand = QStringLiteral("暂停");
    static inline const QString ResumeCommand = QStringLiteral("继续");
    static inline const QString CancelCommand = QStringLiteral("取消");
    static inline const QString RetryCommand = QStringLiteral("重试");
    static inline const QString OpenFolderCommand = QStringLiteral("打开所在文件夹");

    explicit TransferListModel(TransferManager *manager, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    TransferTask *taskAt(int row) const { return m_rows.value(row, nullptr); }
    static QStringList commandsOf(const TransferTask *task);
    // "12秒", "3分05秒", "2小时07分"; empty when unknown.
    static QString etaText(int seconds);
    // Redraws the changed rows now instead of at the next tick.
    void flush();
    // dataChanged signals sent so far (for measuring).
    int refreshCount() const { return m_refreshes; }

private:
    void markChanged(TransferTask *task);

    TransferManager *m_manager;
    QList<TransferTask *> m_rows;
    QSet<TransferTask *> m_changed;
    QTimer *m_refresh = nullptr;
    int m_refreshes = 0;
};
