#pragma once

#include <QJsonObject>
#include <QList>
#include <QWidget>

class QJsonArray;
class QLabel;
class QPushButton;
class QTableWidget;

// 我的分享: the user's share links, newest first, with their validity, visits and state; a live link
// can be copied again or cancelled, one at a time or as a checked batch. Refetched on every show
// and after every cancel.
class MySharesPage final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MySharesPage)

public:
    enum Column {
        CheckColumn = 0,
        NameColumn,
        CreatedColumn,
        ExpiresColumn,
        CountsColumn,
        StateColumn,
        ActionColumn,
        ColumnCount
    };

    explicit MySharesPage(QWidget *parent = nullptr);
    ~MySharesPage() override;

    // Empties the table and requests the list; only the answer to the latest request is shown.
    void reload();
    // Cancels the checked links after a confirmation.
    void cancelChecked();

    QTableWidget *table() const { return m_table; }
    QLabel *emptyLabel() const { return m_emptyLabel; }
    QLabel *statusLabel() const { return m_statusLabel; }
    QPushButton *selectAllButton() const { return m_selectAllButton; }
    QPushButton *cancelButton() const { return m_cancelButton; }
    // The link shown in row, as the server sent it.
    QJsonObject linkAt(int row) const;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void applyList(const QJsonArray &links);
    QWidget *makeActionCell(const QJsonObject &link);
    void copyLink(const QJsonObject &link);
    void cancelOne(const QJsonObject &link);
    void sendCancel(const QList<qint64> &ids);
    void toggleAll();
    void updateButtons();
    int checkableCount() const;
    QList<qint64> checkedIds() const;

    QTableWidget *m_table = nullptr;
    QLabel *m_emptyLabel = nullptr;
    QLabel *m_statusLabel = nullptr;
    QPushButton *m_selectAllButton = nullptr;
    QPushButton *m_cancelButton = nullptr;
    QPushButton *m_refreshButton = nullptr;
    QList<QJsonObject> m_links;
    // Shown once the next list arrives (the result of a cancel).
    QString m_pendingNote;
    quint64 m_listSerial = 0;
};
