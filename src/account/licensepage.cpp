#include "account/licensepage.h"

#include "account/profileapi.h"
#include "account/sortcaretheader.h"
#include "files/filerecord.h"
#include "files/formatting.h"
#include "net/httpclient.h"
#include "net/session.h"
#include "ui/offlineoverlay.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

namespace {

constexpr int RowHeight = 46;
constexpr int MinimumSectionSize = 80;
constexpr int MinimumTableHeight = 240;

const char *const Columns[] = {"购买时间", "套餐", "容量", "到期时间", "金额", "订单号"};

const QString PagerButtonStyle = QStringLiteral(
    "QPushButton{border:1px solid #e6e9ef;background:#fff;color:#4a5568;border-radius:6px;font-size:15px;padding:0;}"
    "QPushButton:hover{border-color:#C9A84C;color:#1A2A4A;}QPushButton:disabled{color:#c4cad6;}");

QLabel *styledLabel(const QString &text, const QString &style, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setStyleSheet(style);
    return label;
}

// The answer's top-level object, or an empty one when the body was not a JSON object.
QJsonObject topObject(const HttpResponse &response)
{
    return response.isJson && response.json.isObject() ? response.json.toObject() : QJsonObject();
}

qint64 expiryMs(const QJsonObject &record)
{
    const QDateTime time = parseServerTime(record.value(QStringLiteral("expire_at")).toString());
    return time.isValid() ? time.toMSecsSinceEpoch() : std::numeric_limits<qint64>::min();
}

// Negative, zero or positive as a sorts before, with or after b by the column.
int compareBy(int column, const QJsonObject &a, const QJsonObject &b)
{
    auto number = [](qint64 x, qint64 y) { return x < y ? -1 : (x > y ? 1 : 0); };
    switch (column) {
    case 0:
        return LicensePage::purchaseTimeText(a).localeAwareCompare(LicensePage::purchaseTimeText(b));
    case 1:
        return LicensePage::planNameText(a).localeAwareCompare(LicensePage::planNameText(b));
    case 2:
        return number(jsonInt64(a, QStringLiteral("capacity_gb")), jsonInt64(b, QStringLiteral("capacity_gb")));
    case 3:
        return number(expiryMs(a), expiryMs(b));
    case 4:
        return number(jsonInt64(a, QStringLiteral("amount_fen")), jsonInt64(b, QStringLiteral("amount_fen")));
    default:
        return a.value(QStringLiteral("order_no"))
            .toString()
            .localeAwareCompare(b.value(QStringLiteral("order_no")).toString());
    }
}

QTableWidgetItem *cell(const QString &text, Qt::Alignment horizontal)
{
    auto *item = new QTableWidgetItem(text);
    item->setTextAlignment(horizontal | Qt::AlignVCenter);
    return item;
}

} // namespace

LicensePage::LicensePage(QWidget *parent)
    : QWidget(parent)
{
    buildUi();
}

LicensePage::~LicensePage() = default;

void LicensePage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Plans, figures and records are fetched when the page is looked at, not when the window is built.
    load();
}

QString LicensePage::purchaseTimeText(const QJsonObject &record)
{
    for (const char *key : {"start_at", "created_at", "paid_at"}) {
        const QJsonValue value = record.value(QLatin1String(key));
        if (value.isString() && !value.toString().isEmpty())
            return value.toString();
    }
    return QString();
}

QString LicensePage::planNameText(const QJsonObject &record)
{
    const QString name = record.value(QStringLiteral("plan_name")).toString();
    return name.isEmpty() ? record.value(QStringLiteral("package_name")).toString() : name;
}

void LicensePage::buildUi()
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 18, 0, 18);
    outer->setSpacing(0);
    m_scroll = new QScrollArea(this);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setStyleSheet(QStringLiteral(
        "QScrollArea{background:transparent;border:none;} QScrollArea>QWidget>QWidget{background:transparent;}"));
    outer->addWidget(m_scroll, 1);

    auto *content = new QWidget(m_scroll);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(14);

    auto *intro = new QFrame(content);
    intro->setObjectName(QStringLiteral("LicIntro"));
    intro->setStyleSheet(
        QStringLiteral("QFrame#LicIntro{background:#ffffff;border:1px solid #eef0f4;border-radius:12px;}"
                       "QLabel{background:transparent;border:none;}"));
    auto *introLayout = new QVBoxLayout(intro);
    introLayout->setContentsMargins(20, 16, 20, 16);
    introLayout->setSpacing(8);
    introLayout->addWidget(styledLabel(QStringLiteral("存储容量"),
                                       QStringLiteral("color:#1A2A4A;font-size:16px;font-weight:700;"), intro));
    auto *introText = styledLabel(
        QStringLiteral(
            "软件功能免费注册使用，仅「存储容量」按档付费。每个账号自带基础免费容量，超出部分可在此购买扩容："
            "先选择容量大小，再选择月卡（31 天）或年卡（366 天），支付宝扫码支付成功后容量立即到账。"
            "容量有效期独立计算，到期后该档扩容自动回收（不影响已存文件，但超出剩余容量的部分需再次购买才能"
            "继续上传）。下方「我的容量记录」列出每一笔容量购买及其到期时间。"),
        QStringLiteral("color:#5a6478;font-size:13px;line-height:20px;"), intro);
    introText->setWordWrap(true);
    introLayout->addWidget(introText);
    column->addWidget(intro);

    auto *mc = new QFrame(content);
    mc->setObjectName(QStringLiteral("LicMc"));
    mc->setStyleSheet(QStringLiteral("QFrame#LicMc{background:#ffffff;border:1px solid #eef0f4;border-radius:10px;}"
                                     "QLabel{background:transparent;border:none;}"));
    auto *mcLayout = new QHBoxLayout(mc);
    mcLayout->setContentsMargins(16, 11, 16, 11);
    mcLayout->setSpacing(10);
    mcLayout->addWidget(styledLabel(QStringLiteral("机器码"), QStringLiteral("color:#8a93a6;font-size:13px;"), mc));
    const QString code = Session::instance()->ensureMachineCode();
    m_machineCode = styledLabel(code.isEmpty() ? QStringLiteral("获取中…") : code,
                                QStringLiteral("font-family:Consolas,Menlo,monospace;color:#1A2A4A;font-weight:700;"
                                               "font-size:14px;"),
                                mc);
    m_machineCode->setObjectName(QStringLiteral("LicMachineCode"));
    m_machineCode->setTextInteractionFlags(Qt::TextSelectableByMouse);
    mcLayout->addWidget(m_machineCode);
    auto *copy = new QPushButton(QStringLiteral("📋"), mc);
    copy->setObjectName(QStringLiteral("LicCopy"));
    copy->setCursor(Qt::PointingHandCursor);
    copy->setFixedWidth(26);
    copy->setToolTip(QStringLiteral("复制机器码"));
    copy->setStyleSheet(QStringLiteral("QPushButton{border:none;background:transparent;font-size:13px;padding:0;}"
                                       "QPushButton:hover{background:#f2f4f8;border-radius:6px;}"));
    connect(copy, &QPushButton::clicked, this,
            [] { QGuiApplication::clipboard()->setText(Session::instance()->ensureMachineCode()); });
    mcLayout->addWidget(copy);
    mcLayout->addStretch();
    column->addWidget(mc);

    auto *totalRow = new QHBoxLayout;
    totalRow->addWidget(
        styledLabel(QStringLiteral("当前总容量"), QStringLiteral("color:#8a93a6;font-size:13px;"), content));
    totalRow->addStretch();
    m_total = styledLabel(QStringLiteral("加载中…"), QStringLiteral("color:#1A2A4A;font-size:16px;font-weight:700;"),
                          content);
    m_total->setObjectName(QStringLiteral("LicTotal"));
    totalRow->addWidget(m_total);
    column->addLayout(totalRow);

    m_usedLeft =
        styledLabel(QStringLiteral("已用 — · 剩余 —"), QStringLiteral("color:#8a93a6;font-size:13px;"), content);
    m_usedLeft->setObjectName(QStringLiteral("LicUsedLeft"));
    column->addWidget(m_usedLeft);

    auto *buyRow = new QHBoxLayout;
    m_buy = new QPushButton(QStringLiteral("购买容量"), content);
    m_buy->setObjectName(QStringLiteral("LicBuy"));
    m_buy->setCursor(Qt::PointingHandCursor);
    m_buy->setFixedHeight(40);
    m_buy->setStyleSheet(QStringLiteral(
        "QPushButton{background:#C9A84C;color:#1A2A4A;border:none;border-radius:9px;font-weight:600;font-size:15px;"
        "padding:0 22px;}QPushButton:hover{background:#b8963f;}QPushButton:pressed{background:#a8862f;}"
        "QPushButton:disabled{background:#e6e2d2;color:#a9a38f;}"));
    connect(m_buy, &QPushButton::clicked, this, &LicensePage::openCapacity);
    buyRow->addWidget(m_buy);
    buyRow->addStretch();
    column->addLayout(buyRow);

    column->addSpacing(6);
    auto *recordsTitle = new QHBoxLayout;
    recordsTitle->addWidget(styledLabel(QStringLiteral("我的容量记录"),
                                        QStringLiteral("color:#1A2A4A;font-size:14px;font-weight:600;"), content));
    recordsTitle->addStretch();
    recordsTitle->addWidget(
        styledLabel(QStringLiteral("点击列头可排序"), QStringLiteral("color:#9aa3b2;font-size:12px;"), content));
    column->addLayout(recordsTitle);

    m_table = new QTableWidget(0, ColumnCount, content);
    m_table->setObjectName(QStringLiteral("LicRecords"));
    m_table->setAccessibleName(QStringLiteral("容量购买记录"));
    m_recordsOverlay = new OfflineOverlay(m_table);
    connect(m_recordsOverlay, &OfflineOverlay::retryRequested, this, &LicensePage::load);
    m_header = new SortCaretHeader(m_table);
    m_table->setHorizontalHeader(m_header);
    for (int c = 0; c < ColumnCount; ++c) {
        auto *item = new QTableWidgetItem(QString::fromUtf8(Columns[c]));
        item->setTextAlignment((c < 2 ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter);
        m_table->setHorizontalHeaderItem(c, item);
    }
    m_header->setSortState([this](int section) { return section == m_sortColumn ? m_sortDirection : 0; });
    m_header->setRightAligned([](int section) { return section > 1; });
    m_table->verticalHeader()->hide();
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setShowGrid(false);
    m_table->setStyleSheet(QStringLiteral(
        "QTableWidget{background:#ffffff;border:1px solid #eef0f4;border-radius:10px;outline:none;}"
        "QTableWidget::item{padding:8px 6px;color:#3a4a63;border-bottom:1px solid #f2f4f8;}"
        "QTableWidget::item:selected{background:#f6f8fc;color:#1A2A4A;}"
        "QHeaderView::section{background:#1A2A4A;color:#ffffff;font-weight:600;border:none;padding:9px 6px;"
        "font-size:13px;}QTableCornerButton::section{background:#1A2A4A;border:none;}"));
    m_header->setMinimumSectionSize(MinimumSectionSize);
    m_header->setSectionResizeMode(QHeaderView::Stretch);
    m_table->verticalHeader()->setDefaultSectionSize(RowHeight);
    m_table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_table->setMinimumHeight(MinimumTableHeight);
    m_header->setSectionsClickable(true);
    m_header->setHighlightSections(false);
    m_header->setCursor(Qt::PointingHandCursor);
    connect(m_header, &QHeaderView::sectionClicked, this, &LicensePage::sortBy);
    // Order numbers are what support asks for: a right click copies the row's whole number.
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_table, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        const QTableWidgetItem *order = m_table->item(m_table->rowAt(pos.y()), ColumnCount - 1);
        if (!order || order->text().isEmpty())
            return;
        QMenu menu(this);
        QAction *copy = menu.addAction(QStringLiteral("复制订单号"));
        if (menu.exec(m_table->viewport()->mapToGlobal(pos)) == copy)
            QGuiApplication::clipboard()->setText(order->text());
    });
    column->addWidget(m_table, 1);

    auto *pager = new QHBoxLayout;
    m_pageLabel =
        styledLabel(QStringLiteral("第 1 页，共 1 页"), QStringLiteral("color:#8a93a6;font-size:13px;"), content);
    m_pageLabel->setObjectName(QStringLiteral("LicPageLabel"));
    pager->addWidget(m_pageLabel);
    pager->addStretch();
    m_prev = new QPushButton(QStringLiteral("<"), content);
    m_prev->setObjectName(QStringLiteral("LicPrev"));
    m_next = new QPushButton(QStringLiteral(">"), content);
    m_next->setObjectName(QStringLiteral("LicNext"));
    for (QPushButton *button : {m_prev, m_next}) {
        button->setFixedSize(28, 28);
        button->setCursor(Qt::PointingHandCursor);
        button->setStyleSheet(PagerButtonStyle);
        pager->addWidget(button);
    }
    connect(m_prev, &QPushButton::clicked, this, [this] {
        if (m_page > 1)
            showPage(m_page - 1);
    });
    connect(m_next, &QPushButton::clicked, this, [this] {
        if (m_page * RowsPerPage < m_records.size())
            showPage(m_page + 1);
    });
    column->addLayout(pager);

    m_scroll->setWidget(content);
    fillRows();
}

void LicensePage::load()
{
    QPointer<LicensePage> self(this);
    const int plansRequest = ++m_plansRequest;
    HttpClient::instance()->get(QStringLiteral("/api/plans"), [self, plansRequest](const HttpResponse &response) {
        if (self && plansRequest == self->m_plansRequest)
            self->applyPlans(response);
    });
    const int summaryRequest = ++m_summaryRequest;
    Api::getProfile([self, summaryRequest](const HttpResponse &response) {
        if (self && summaryRequest == self->m_summaryRequest)
            self->applySummary(response);
    });
    const int recordsRequest = ++m_recordsRequest;
    HttpClient::instance()->get(QStringLiteral("/api/payment/capacity-records"),
                                [self, recordsRequest](const HttpResponse &response) {
                                    if (self && recordsRequest == self->m_recordsRequest)
                                        self->applyRecords(response);
                                });
}

void LicensePage::applyPlans(const HttpResponse &response)
{
    m_plans.clear();
    const QJsonValue data = topObject(response).value(QStringLiteral("data"));
    const QJsonArray array = data.isArray() ? data.toArray() : data.toObject().value(QStringLiteral("plans")).toArray();
    for (const QJsonValue &value : array) {
        const QJsonObject plan = value.toObject();
        const QJsonValue id = plan.value(QStringLiteral("id"));
        const qint64 capacity = jsonInt64(plan, QStringLiteral("capacity_gb"));
        if (!id.isString() || id.toString().isEmpty() || capacity <= 0)
            continue;
        m_plans.append({id.toString(), int(qMin<qint64>(capacity, std::numeric_limits<int>::max())),
                        jsonInt64(plan, QStringLiteral("price_fen")),
                        jsonInt64(plan, QStringLiteral("duration_days"))});
    }
    m_buy->setEnabled(!m_plans.isEmpty());
}

void LicensePage::applySummary(const HttpResponse &response)
{
    QJsonObject data;
    QString error;
    if (!response.unwrap(data, error) || data.isEmpty())
        return;
    const qint64 used = jsonInt64(data, QStringLiteral("storage_used"));
    const qint64 limit = jsonInt64(data, QStringLiteral("storage_limit"));
    m_total->setText(formatQuotaSize(limit));
    m_usedLeft->setText(QStringLiteral("已用 %1 · 剩余 %2")
                            .arg(formatQuotaSize(used), formatQuotaSize(limit - used > 0 ? limit - used : 0)));
}

void LicensePage::applyRecords(const HttpResponse &response)
{
    QJsonObject data;
    QString error;
    if (!response.unwrap(data, error)) {
        // The records shown stay: an empty list would read as purchases that are gone.
        m_recordsOverlay->showFailure(response);
        return;
    }
    m_recordsOverlay->hide();
    m_records.clear();
    const QJsonArray array = data.value(QStringLiteral("records")).toArray();
    for (const QJsonValue &value : array) {
        const QJsonObject record = value.toObject();
        if (record.value(QStringLiteral("status")).toString() != QLatin1String("refunded"))
            m_records.append(record);
    }
    std::stable_sort(m_records.begin(), m_records.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return a.value(QStringLiteral("expire_at")).toString() > b.value(QStringLiteral("expire_at")).toString();
    });
    m_loadRecords = m_records;
    applySort();
    m_header->viewport()->update();
    m_page = 1;
    fillRows();
}

void LicensePage::applySort()
{
    if (m_sortDirection == 0) {
        m_records = m_loadRecords;
        return;
    }
    const int column = m_sortColumn;
    const int direction = m_sortDirection;
    std::stable_sort(m_records.begin(), m_records.end(),
                     [column, direction](const QJsonObject &a, const QJsonObject &b) {
                         const int order = compareBy(column, a, b);
                         return direction > 0 ? order < 0 : order > 0;
                     });
}

void LicensePage::sortBy(int column)
{
    if (column < 0 || column >= ColumnCount)
        return;
    if (column == m_sortColumn) {
        m_sortDirection = m_sortDirection == 1 ? -1 : (m_sortDirection == -1 ? 0 : 1);
    } else {
        m_sortColumn = column;
        m_sortDirection = 1;
    }
    applySort();
    m_header->viewport()->update();
    fillRows();
}

int LicensePage::pageCount() const
{
    return m_records.isEmpty() ? 1 : int((m_records.size() + RowsPerPage - 1) / RowsPerPage);
}

void LicensePage::showPage(int page)
{
    m_page = page;
    fillRows();
}

void LicensePage::fillRows()
{
    const int count = int(m_records.size());
    const int pages = pageCount();
    m_page = qBound(1, m_page, pages);
    const int first = (m_page - 1) * RowsPerPage;
    const int rows = count == 0 ? 0 : qMin(RowsPerPage, count - first);

    m_table->verticalHeader()->setSectionResizeMode(count > 0 ? QHeaderView::Fixed : QHeaderView::Stretch);
    m_table->clearSpans();
    for (int row = 0; row < m_table->rowCount(); ++row)
        m_table->removeCellWidget(row, 0);
    m_table->setRowCount(rows);

    for (int row = 0; row < rows; ++row) {
        // A row that was the stretched empty-state row keeps that height unless told otherwise.
        m_table->setRowHeight(row, RowHeight);
        const QJsonObject &record = m_records.at(first + row);
        const QDateTime bought = parseServerTime(purchaseTimeText(record));
        const QDateTime expires = parseServerTime(record.value(QStringLiteral("expire_at")).toString());
        m_table->setItem(
            row, 0,
            cell(bought.isValid() ? bought.toString(QStringLiteral("yyyy-MM-dd HH:mm")) : QStringLiteral("-"),
                 Qt::AlignLeft));
        m_table->setItem(row, 1, cell(planNameText(record), Qt::AlignLeft));
        m_table->setItem(
            row, 2, cell(paydlg::capacityCellText(jsonInt64(record, QStringLiteral("capacity_gb"))), Qt::AlignRight));
        m_table->setItem(row, 3,
                         cell(expires.isValid() ? expires.toString(QStringLiteral("yyyy-MM-dd")) : QStringLiteral("-"),
                              Qt::AlignRight));
        QTableWidgetItem *amount =
            cell(paydlg::amountText(jsonInt64(record, QStringLiteral("amount_fen"))), Qt::AlignRight);
        QFont bold = amount->font();
        bold.setWeight(QFont::Bold);
        amount->setFont(bold);
        m_table->setItem(row, 4, amount);
        QTableWidgetItem *order = cell(record.value(QStringLiteral("order_no")).toString(), Qt::AlignRight);
        order->setFont(QFont(QStringLiteral("Consolas"), 9));
        // The column is narrower than a long order number: the whole number on hover, and
        // selectable so that Ctrl+C copies it.
        order->setToolTip(order->text());
        order->setFlags(order->flags() | Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        m_table->setItem(row, 5, order);
    }

    if (count == 0) {
        m_table->setRowCount(1);
        m_table->setSpan(0, 0, 1, ColumnCount);
        auto *empty = new QWidget;
        auto *layout = new QHBoxLayout(empty);
        layout->setContentsMargins(0, 30, 0, 30);
        auto *label = new QLabel(QStringLiteral("暂无容量购买记录"), empty);
        label->setObjectName(QStringLiteral("LicEmpty"));
        label->setAlignment(Qt::AlignCenter);
        label->setStyleSheet(QStringLiteral("color:#9aa3b2;font-size:13px;background:transparent;"));
        layout->addWidget(label);
        m_table->setCellWidget(0, 0, empty);
    }

    m_pageLabel->setText(QStringLiteral("第 %1 页，共 %2 页").arg(m_page).arg(pages));
    m_prev->setEnabled(m_page > 1);
    m_next->setEnabled(m_page < pages);
}

void LicensePage::openCapacity()
{
    if (m_plans.isEmpty()) {
        load();
        return;
    }
    QPointer<LicensePage> self(this);
    paydlg::show(this, m_plans, [self] {
        if (!self)
            return;
        self->load();
        emit self->renewed();
    });
}
