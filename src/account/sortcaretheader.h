#pragma once

#include <QHeaderView>
#include <functional>

// A horizontal table header painted navy with white bold captions and two small carets per
// section: the gold one shows the column's sort direction, both stay dim when it is unsorted.
class SortCaretHeader final : public QHeaderView
{
    Q_OBJECT

public:
    explicit SortCaretHeader(QWidget *parent = nullptr);

    // 1 ascending, -1 descending, 0 unsorted.
    void setSortState(std::function<int(int section)> state) { m_sortState = std::move(state); }
    void setRightAligned(std::function<bool(int section)> rightAligned) { m_rightAligned = std::move(rightAligned); }

protected:
    void paintSection(QPainter *painter, const QRect &rect, int logicalIndex) const override;

private:
    std::function<int(int)> m_sortState;
    std::function<bool(int)> m_rightAligned;
};
