#pragma once

#include "sync/syncpairstatus.h"

#include <QList>
#include <QPointer>
#include <QWidget>

class QLabel;
class QPushButton;
class QTableWidget;
class QToolButton;
class SyncManager;

// 同步: the user's sync pairs, one row each with the local folder, the server folder, the state,
// the last sync and the row's actions; 「添加同步」 pairs a new folder. A round that waits for its
// deletes says so on its row and asks before it goes on. Follows the manager's signals.
class SyncPage final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SyncPage)

public:
    enum Column { LocalColumn = 0, ServerColumn, StateColumn, TimeColumn, ActionColumn, ColumnCount };

    explicit SyncPage(SyncManager *manager, QWidget *parent = nullptr);
    ~SyncPage() override;

    // Rebuilds the rows from the manager.
    void refresh();
    // Shows these rows (what refresh() does with the manager's statuses).
    void showStatuses(const QList<SyncPairStatus> &statuses);

    void openAddDialog();
    // Asks first, then removes the pair; nothing is deleted on either side.
    void removePair(const QString &id);
    // The waiting deletes of a pair: go ahead, or keep the pair paused.
    void askToConfirmDeletes(const QString &id);
    void openDetail(const QString &id);

    QTableWidget *table() const { return m_table; }
    QLabel *emptyLabel() const { return m_emptyLabel; }
    QPushButton *addButton() const { return m_addButton; }
    // A row's action button by its action ("SyncPause", "SyncResume", "SyncNow", "SyncRemove",
    // "SyncDetail", "SyncConfirm"); null when the row has none. Buttons that do not apply are hidden.
    QToolButton *rowButton(int row, const QString &name) const;
    SyncPairStatus statusAt(int row) const { return m_statuses.value(row); }

private:
    QWidget *makeActionCell(const SyncPairStatus &status);

    QPointer<SyncManager> m_manager;
    QTableWidget *m_table = nullptr;
    QLabel *m_emptyLabel = nullptr;
    QPushButton *m_addButton = nullptr;
    QList<SyncPairStatus> m_statuses;
};
