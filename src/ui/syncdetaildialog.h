#pragma once

#include "sync/syncpairstatus.h"
#include "ui/carddialog.h"

class QLabel;
class QTableWidget;

// One pair's errors (with the server's own words) and conflict copies, each with a way to its
// folder on the disk.
class SyncDetailDialog final : public Cdlg::CardDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SyncDetailDialog)

public:
    enum Column { KindColumn = 0, PathColumn, TextColumn, ActionColumn, ColumnCount };

    SyncDetailDialog(const SyncPairStatus &status, QWidget *parent);
    ~SyncDetailDialog() override;

    QTableWidget *table() const { return m_table; }
    QLabel *emptyLabel() const { return m_emptyLabel; }
    // The local folder that holds path (relative to the pair's folder; empty: the pair's folder).
    static QString containingFolder(const QString &root, const QString &path);

private:
    void addRow(const QString &kind, const QString &path, const QString &text, bool problem);

    SyncPairStatus m_status;
    QTableWidget *m_table = nullptr;
    QLabel *m_emptyLabel = nullptr;
};
