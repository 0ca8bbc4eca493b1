#pragma once

#include <QStyledItemDelegate>

// Draws a check box that mirrors the row's selection and toggles it on a click inside the box,
// so ticking adds or removes single rows without clearing the others. Stateless.
class CheckColumnDelegate final : public QStyledItemDelegate
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CheckColumnDelegate)

public:
    static constexpr int BoxSize = 16;

    // parent must be the item view whose selection the boxes show.
    explicit CheckColumnDelegate(QObject *parent);

    // The box of a cell: 16 × 16 pixels centred on the cell.
    static QRect boxRect(const QRect &cell);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;
};
