#include "app/transferdelegate.h"

#include "app/transferlistmodel.h"
#include "transfer/transfertask.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace {
constexpr int BarHeight = 8;
constexpr int BarMargin = 10;
constexpr int LinkGap = 14;
constexpr int CellPadding = 8;

QColor barColor(TransferTask::State state)
{
    switch (state) {
    case TransferTask::State::Running:
        return QColor(0x16, 0x77, 0xff);
    case TransferTask::State::Verifying:
        return QColor(0xc9, 0xa8, 0x4c);
    case TransferTask::State::Finished:
        return QColor(0x2f, 0x9e, 0x5f);
    case TransferTask::State::Failed:
        return QColor(0xe8, 0x54, 0x40);
    case TransferTask::State::Queued:
    case TransferTask::State::Paused:
        break;
    }
    return QColor(0xa9, 0xb4, 0xc6);
}

QColor linkColor(const QString &command)
{
    return command == TransferListModel::CancelCommand ? QColor(0xcf, 0x13, 0x22) : QColor(0x16, 0x77, 0xff);
}
} // namespace

TransferDelegate::TransferDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{}

QList<QRect> TransferDelegate::commandRects(const QRect &cell, const QStringList &commands, const QFont &font)
{
    const QFontMetrics metrics(font);
    QList<QRect> rects;
    int x = cell.left() + CellPadding;
    for (const QString &command : commands) {
        const int width = metrics.horizontalAdvance(command);
        rects.append(QRect(x, cell.top(), width, cell.height()));
        x += width + LinkGap;
    }
    return rects;
}

void TransferDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    switch (index.column()) {
    case TransferListModel::ProgressColumn:
        paintProgress(painter, option, index);
        return;
    case TransferListModel::ActionColumn:
        paintCommands(painter, option, index);
        return;
    default:
        QStyledItemDelegate::paint(painter, option, index);
    }
}

void TransferDelegate::paintProgress(QPainter *painter, const QStyleOptionViewItem &option,
                                     const QModelIndex &index) const
{
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    QApplication::style()->drawControl(QStyle::CE_ItemViewItem, &background, painter, option.widget);

    const int percent = index.data(TransferListModel::PercentRole).toInt();
    const auto state = TransferTask::State(index.data(TransferListModel::StateRole).toInt());
    const QString label = index.data(Qt::DisplayRole).toString();
    const QFontMetrics metrics(option.font);
    const int labelWidth = metrics.horizontalAdvance(QStringLiteral("100%")) + 6;
    const QRect bar(option.rect.left() + BarMargin, option.rect.center().y() - BarHeight / 2 + 1,
                    std::max(0, option.rect.width() - 2 * BarMargin - labelWidth), BarHeight);

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(QColor(0xed, 0xf1, 0xf7));
    painter->drawRoundedRect(bar, BarHeight / 2.0, BarHeight / 2.0);
    if (percent > 0) {
        QRect filled = bar;
        filled.setWidth(std::max(BarHeight, bar.width() * std::min(percent, 100) / 100));
        painter->setBrush(barColor(state));
        painter->drawRoundedRect(filled, BarHeight / 2.0, BarHeight / 2.0);
    }
    painter->setPen(QColor(0x5a, 0x66, 0x7a));
    painter->setFont(option.font);
    painter->drawText(QRect(bar.right() + 6, option.rect.top(), labelWidth, option.rect.height() - 2),
                      Qt::AlignVCenter | Qt::AlignLeft, label);
    painter->restore();
}

void TransferDelegate::paintCommands(QPainter *painter, const QStyleOptionViewItem &option,
                                     const QModelIndex &index) const
{
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    QApplication::style()->drawControl(QStyle::CE_ItemViewItem, &background, painter, option.widget);

    const QStringList commands = index.data(TransferListModel::CommandsRole).toStringList();
    const QList<QRect> rects = commandRects(option.rect, commands, option.font);
    painter->save();
    painter->setFont(option.font);
    for (int i = 0; i < commands.size(); ++i) {
        painter->setPen(linkColor(commands.at(i)));
        // The row's bottom line is inside the cell: centre on what is above it, as the texts are.
        painter->drawText(rects.at(i).adjusted(0, 0, 0, -2), Qt::AlignVCenter | Qt::AlignLeft, commands.at(i));
    }
    painter->restore();
}

QSize TransferDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    if (index.column() == TransferListModel::ActionColumn) {
        const QStringList commands = index.data(TransferListModel::CommandsRole).toStringList();
        const QList<QRect> rects = commandRects(QRect(0, 0, 0, size.height()), commands, option.font);
        size.setWidth(rects.isEmpty() ? 0 : rects.constLast().right() + CellPadding);
    }
    return size;
}

bool TransferDelegate::editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                                   const QModelIndex &index)
{
    if (index.column() == TransferListModel::ActionColumn && event->type() == QEvent::MouseButtonRelease) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton) {
            const QStringList commands = index.data(TransferListModel::CommandsRole).toStringList();
            const QList<QRect> rects = commandRects(option.rect, commands, option.font);
            for (int i = 0; i < rects.size(); ++i) {
                if (rects.at(i).contains(mouse->position().toPoint())) {
                    emit commandClicked(index.row(), commands.at(i));
                    return true;
                }
            }
        }
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}
