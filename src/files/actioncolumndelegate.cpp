#include "files/actioncolumndelegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QPainter>

ActionColumnDelegate::ActionColumnDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{}

void ActionColumnDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const auto *view = qobject_cast<const QAbstractItemView *>(parent());
    if (!view || !view->indexWidget(index)) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    // Background and selection as usual, without the text the buttons cover.
    QStyleOptionViewItem plain(option);
    initStyleOption(&plain, index);
    plain.text.clear();
    plain.state &= ~QStyle::State_HasFocus;
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &plain, painter, widget);
}

void ActionColumnDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                                const QModelIndex &) const
{
    // The whole cell, not the padded text area, so the buttons centre in the column.
    editor->setGeometry(option.rect);
}
