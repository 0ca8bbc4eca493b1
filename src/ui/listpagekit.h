#pragma once

#include <QColor>
#include <QString>
#include <utility>
#include <vector>

class QLabel;
class QPushButton;
class QTableWidget;
class QTableWidgetItem;
class QWidget;

// The pieces that the list pages (trash, my shares, sync) share: a title with its note, page
// buttons, the empty hint, and a table of checkable rows in the product's light style.
namespace ListPageKit {

constexpr int IconSize = 20;
constexpr int RowHeight = 46;
constexpr int CheckWidth = 36;

// Body text of the tables, set per item so that an item's own colour (a state) can still win.
inline const QColor TextColour{0x3a, 0x4a, 0x63};

QLabel *titleLabel(const QString &text, QWidget *parent);
QLabel *noteLabel(const QString &text, QWidget *parent);
// Centred grey text in place of an empty table (object name "EmptyHint"), hidden at first.
QLabel *emptyLabel(const QString &text, QWidget *parent);
// A page button with a pointing cursor; objectName picks its look ("GoldBtn", "Primary", "Danger").
QPushButton *pageButton(const QString &text, const char *objectName, QWidget *parent);
// A read-only, selectable item, left-aligned in the body colour.
QTableWidgetItem *textItem(const QString &text);

// Rows of RowHeight without grid or editing, whole rows selected, every column fixed at the width
// given except stretchColumn, which takes the rest.
void setUpTable(QTableWidget *table, const QStringList &headers, int stretchColumn,
                const std::vector<std::pair<int, int>> &columnWidths);

} // namespace ListPageKit
