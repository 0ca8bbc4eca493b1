#pragma once

#include "account/paydlg.h"
#include "net/httpresponse.h"

#include <QJsonObject>
#include <QList>
#include <QWidget>

class OfflineOverlay;
class QLabel;
class QPushButton;
class QScrollArea;
class QTableWidget;
class SortCaretHeader;

// The storage capacity page: how capacity is sold, the device code, the account's total, used and
// left capacity, the buy button that opens the payment dialog, and the purchase records in a sortable
// table of six rows per page. Each of its three requests applies only its latest answer.
class LicensePage final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LicensePage)

public:
    static constexpr int RowsPerPage = 6;
    static constexpr int ColumnCount = 6;

    explicit LicensePage(QWidget *parent = nullptr);
    ~LicensePage() override;

    // Plans, capacity summary and records, all at once; each answer is applied on its own.
    void load();
    // The buy button: the payment dialog, or only a reload while no plans are known.
    void openCapacity();

    // Header click: the same column cycles ascending → descending → load order; another column starts ascending.
    void sortBy(int column);
    void showPage(int page);

    QList<paydlg::CapPlan> plans() const { return m_plans; }
    QList<QJsonObject> displayedRecords() const { return m_records; }
    int currentPage() const { return m_page; }
    int pageCount() const;
    int sortColumn() const { return m_sortColumn; }
    int sortDirection() const { return m_sortDirection; }
    QTableWidget *table() const { return m_table; }
    OfflineOverlay *recordsOverlay() const { return m_recordsOverlay; }

    // What a record's cells read; exposed for the table's texts and its sorting.
    static QString purchaseTimeText(const QJsonObject &record);
    static QString planNameText(const QJsonObject &record);

signals:
    // A purchase was reported paid; emitted right after the reload has started.
    void renewed();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void buildUi();
    void applyPlans(const HttpResponse &response);
    void applySummary(const HttpResponse &response);
    void applyRecords(const HttpResponse &response);
    void applySort();
    void fillRows();

    QScrollArea *m_scroll = nullptr;
    QLabel *m_machineCode = nullptr;
    QLabel *m_total = nullptr;
    QLabel *m_usedLeft = nullptr;
    QPushButton *m_buy = nullptr;
    QTableWidget *m_table = nullptr;
    OfflineOverlay *m_recordsOverlay = nullptr;
    SortCaretHeader *m_header = nullptr;
    QLabel *m_pageLabel = nullptr;
    QPushButton *m_prev = nullptr;
    QPushButton *m_next = nullptr;
    QList<paydlg::CapPlan> m_plans;
    QList<QJsonObject> m_records;     // display order
    QList<QJsonObject> m_loadRecords; // load order: latest expiry first
    int m_page = 1;
    int m_sortColumn = 0;
    int m_sortDirection = -1;
    int m_plansRequest = 0;
    int m_summaryRequest = 0;
    int m_recordsRequest = 0;
};
