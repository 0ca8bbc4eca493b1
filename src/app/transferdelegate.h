#pragma once

#include <QList>
#include <QRect>
#include <QStringList>
#include <QStyledItemDelegate>

// Paints the transfer list's progress bars and command links, so no row needs a widget of its
// own; a click on a link is reported by commandClicked.
class TransferDelegate final : public QStyledItemDelegate
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TransferDelegate)

public:
    explicit TransferDelegate(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;

    // Where each command's link sits inside a cell, left to right.
    static QList<QRect> commandRects(const QRect &cell, const QStringList &commands, const QFont &font);

signals:
    void commandClicked(int row, const QString &command);

private:
    void paintProgress(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const;
    void paintCommands(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const;
};
