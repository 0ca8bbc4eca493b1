#pragma once

#include <QStringList>
#include <QWidget>

class OfflineOverlay;
class QLabel;
class QPushButton;
class QTableWidget;

// The personal trash: the deleted entries with their deletion time, restored to their folder or
// removed for good one at a time or as a checked batch. Refetched on every show and after every
// action; the refreshed list is the only feedback an action gets.
class TrashPage final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrashPage)

public:
    enum Column { CheckColumn = 0, NameColumn, SizeColumn, TimeColumn, ActionColumn, ColumnCount };

    explicit TrashPage(QWidget *parent = nullptr);
    ~TrashPage() override;

    // Empties the table and requests the list; only the answer to the latest request is shown.
    void reload();
    // The restore and delete-for-good buttons of one row.
    QWidget *makeActionCell(const QString &id, const QString &name);
    // Restores (false) or deletes for good (true) the checked rows after a confirmation.
    void doBatch(bool permanent);

    QTableWidget *table() const { return m_table; }
    QLabel *emptyLabel() const { return m_emptyLabel; }
    OfflineOverlay *overlay() const { return m_overlay; }
    QPushButton *selectAllButton() const { return m_selectAllButton; }
    QPushButton *restoreButton() const { return m_restoreButton; }
    QPushButton *purgeButton() const { return m_purgeButton; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void applyList(const QJsonArray &items);
    void toggleAll();
    void updateButtons();
    int checkedCount() const;
    QStringList checkedIds() const;

    QTableWidget *m_table = nullptr;
    QLabel *m_emptyLabel = nullptr;
    OfflineOverlay *m_overlay = nullptr;
    QPushButton *m_selectAllButton = nullptr;
    QPushButton *m_restoreButton = nullptr;
    QPushButton *m_purgeButton = nullptr;
    quint64 m_listSerial = 0;
};
