#include "files/checkcolumndelegate.h"

#include <QAbstractItemView>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace {

const QColor CheckedFill(QStringLiteral("#C9A84C"));
const QColor TickColor(QStringLiteral("#ffffff"));
const QColor BoxOutline(QStringLiteral("#b8c0cc"));
const QColor BoxFill(QStringLiteral("#ffffff"));
constexpr qreal CornerRadius = 3;
constexpr qreal TickWidth = 1.6;
constexpr qreal OutlineWidth = 1.4;

} // namespace

CheckColumnDelegate::CheckColumnDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{}

QRect CheckColumnDelegate::boxRect(const QRect &cell)
{
    const QPoint centre = cell.center();
    return {centre.x() - BoxSize / 2, centre.y() - BoxSize / 2, BoxSize, BoxSize};
}

void CheckColumnDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem plain(option);
    plain.state &= ~QStyle::State_HasFocus;
    QStyledItemDelegate::paint(painter, plain, index);

    const QRect box = boxRect(option.rect);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    if (option.state & QStyle::State_Selected) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(CheckedFill);
        painter->drawRoundedRect(box, CornerRadius, CornerRadius);

        QPainterPath tick;
        tick.moveTo(box.left() + 3, box.center().y());
        tick.lineTo(box.center().x() - 1, box.bottom() - 3.5);
        tick.lineTo(box.right() - 3, box.top() + 4);
        painter->setPen(QPen(TickColor, TickWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter->setBrush(Qt::NoBrush);
        painter->drawPath(tick);
    } else {
        painter->setPen(QPen(BoxOutline, OutlineWidth, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
        painter->setBrush(BoxFill);
        painter->drawRoundedRect(box, CornerRadius, CornerRadius);
    }
    painter->restore();
}

bool CheckColumnDelegate::editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                                      const QModelIndex &index)
{
    if (event->type() == QEvent::MouseButtonPress) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton && boxRect(option.rect).contains(mouse->position().toPoint())) {
            auto *view = qobject_cast<QAbstractItemView *>(parent());
            QItemSelectionModel *selection = view ? view->selectionModel() : nullptr;
            if (selection) {
                const auto command =
                    selection->isSelected(index) ? QItemSelectionModel::Deselect : QItemSelectionModel::Select;
                selection->select(index, command | QItemSelectionModel::Rows);
                return true;
            }
        }
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}
