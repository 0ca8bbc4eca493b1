#include "ui/listpagekit.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>

namespace ListPageKit {

namespace {

constexpr char TitleStyle[] = "font-size:18px;font-weight:700;color:#1A2A4A;background:transparent;";
constexpr char NoteStyle[] = "color:#8a93a6;font-size:12px;background:transparent;";
constexpr char EmptyStyle[] = "color:#999;padding:40px;background:transparent;";
// No text colour here: a colour in the sheet would hide the colours that items set for states.
constexpr char TableStyle[] =
    "QTableWidget{border:none;background:#ffffff;gridline-color:transparent;}"
    "QTableWidget::item{padding:6px 6px 6px 14px;border:none;border-bottom:1px solid #f2f4f8;}"
    "QHeaderView::section{background:#f3f6fb;color:#33415c;padding:8px;border:none;border-bottom:1px solid "
    "#e6ecf5;font-weight:600;}";

} // namespace

QLabel *titleLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setStyleSheet(QString::fromLatin1(TitleStyle));
    return label;
}

QLabel *noteLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setStyleSheet(QString::fromLatin1(NoteStyle));
    return label;
}

QLabel *emptyLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QStringLiteral("EmptyHint"));
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet(QString::fromLatin1(EmptyStyle));
    label->hide();
    return label;
}

QPushButton *pageButton(const QString &text, const char *objectName, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    if (objectName)
        button->setObjectName(QString::fromLatin1(objectName));
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

QTableWidgetItem *textItem(const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    item->setForeground(TextColour);
    item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return item;
}

void setUpTable(QTableWidget *table, const QStringList &headers, int stretchColumn,
                const std::vector<std::pair<int, int>> &columnWidths)
{
    table->setColumnCount(int(headers.size()));
    table->setHorizontalHeaderLabels(headers);
    table->verticalHeader()->hide();
    table->verticalHeader()->setDefaultSectionSize(RowHeight);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setShowGrid(false);
    table->setWordWrap(true);
    table->setTextElideMode(Qt::ElideNone);
    table->setIconSize(QSize(IconSize, IconSize));
    table->setStyleSheet(QString::fromLatin1(TableStyle));
    QHeaderView *header = table->horizontalHeader();
    header->setStretchLastSection(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setSectionResizeMode(QHeaderView::Fixed);
    header->setSectionResizeMode(stretchColumn, QHeaderView::Stretch);
    for (const auto &[column, width] : columnWidths)
        header->resizeSection(column, width);
}

} // namespace ListPageKit
