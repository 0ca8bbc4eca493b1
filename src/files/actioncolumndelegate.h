#pragma once

#include <QStyledItemDelegate>

// The action column: where a row widget sits, it gets the whole cell and the "⋮" text under
// it is not drawn (it would show between the buttons); rows without one keep the text.
class ActionColumnDelegate final : public QStyledItemDelegate
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ActionColumnDelegate)

public:
    // parent must be the item view that holds the row widgets.
    explicit ActionColumnDelegate(QObject *parent);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;
};
