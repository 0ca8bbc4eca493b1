#include "account/paydialog.h"

#include "account/closebutton.h"
#include "account/gradbar.h"
#include "account/plancard.h"
#include "net/httpclient.h"
#include "net/session.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

namespace paydlg {

namespace {

constexpr int DialogWidth = 460;
constexpr int QrSize = 220;
constexpr int GenButtonHeight = 44;

const QString PromptText = QStringLiteral("选择容量与时长后，点击下方按钮生成支付宝收款二维码");
const QString GenerateText = QStringLiteral("生成支付宝收款二维码");
const QString PaidText = QStringLiteral("<span style='color:#237804;font-weight:700;'>✓ 支付成功，容量已到账</span>");

const QString GenButtonRules = QStringLiteral(
    "QPushButton#GenBtn{background:#C9A84C;color:#1A2A4A;border:none;border-radius:10px;font-weight:600;"
    "font-size:15px;}QPushButton#GenBtn:hover{background:#b8963f;}QPushButton#GenBtn:pressed{background:#a8862f;}"
    "QPushButton#GenBtn:disabled{background:#e6e2d2;color:#a9a38f;}");

const QString CardStyle =
    QStringLiteral("QWidget#PayCard{background:#ffffff;border:1px solid rgba(0,0,0,0.04);border-radius:18px;}"
                   "QFrame#PayTopBar{background:transparent;border:none;}"
                   "QLabel#PayTitle{color:#1a1a2e;font-size:17px;font-weight:600;background:transparent;}"
                   "QLabel#PayTitleIco{font-size:16px;background:transparent;}"
                   "QLabel#PaySub{color:#8a93a6;font-size:13px;background:transparent;}"
                   "QFrame#PayMc{background:#fafbfc;border:1px solid #eef0f4;border-radius:10px;}"
                   "QLabel#PayMcLabel{color:#8a93a6;font-size:13px;background:transparent;border:none;}"
                   "QLabel#PayMcVal{font-family:Consolas,Menlo,monospace;color:#1A2A4A;font-weight:600;font-size:13px;"
                   "background:transparent;border:none;}"
                   "QPushButton#PayCopy{border:none;background:transparent;font-size:13px;padding:0;}"
                   "QPushButton#PayCopy:hover{background:#f2f4f8;border-radius:6px;}") +
    GenButtonRules +
    QStringLiteral(
        "QLabel#PayTip{color:#8a93a6;font-size:12px;background:transparent;border:none;}"
        "QFrame#PlanRow{background:rgba(201,168,76,0.06);border:1px solid rgba(201,168,76,0.35);border-radius:12px;}"
        "QLabel#PlanNameL{color:#1A2A4A;font-size:15px;font-weight:600;background:transparent;border:none;}"
        "QLabel#PlanPriceL{color:#C9A84C;font-size:20px;font-weight:700;background:transparent;border:none;}"
        "QLabel#PayStatus{color:#4a5568;font-size:13px;background:transparent;border:none;}");

const QString ComboStyle = QStringLiteral(
    "QComboBox#CapCombo{background:#ffffff;border:1px solid #d9dee8;border-radius:8px;padding:5px 10px;"
    "color:#1A2A4A;font-size:13px;font-weight:600;min-height:22px;}QComboBox#CapCombo:hover{border-color:#C9A84C;}"
    "QComboBox#CapCombo::drop-down{border:none;width:20px;}QComboBox#CapCombo QAbstractItemView{background:#ffffff;"
    "border:1px solid #eef0f4;color:#1A2A4A;selection-background-color:#C9A84C;selection-color:#1A2A4A;}");

QLabel *namedLabel(const QString &name, const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

// A duration card's price row: price, unit (bottom-aligned) and a stretch.
QHBoxLayout *priceRow(QLabel *price, QLabel *unit)
{
    auto *row = new QHBoxLayout;
    row->setSpacing(2);
    row->addWidget(price);
    row->addWidget(unit, 0, Qt::AlignBottom);
    row->addStretch();
    return row;
}

} // namespace

PayDialog::PayDialog(QWidget *parent, const QList<CapPlan> &plans, std::function<void()> onPaid)
    : QDialog(parent)
    , m_plans(plans)
    , m_onPaid(std::move(onPaid))
{
    for (const CapPlan &plan : plans) {
        if (!m_capacities.contains(plan.capacityGb))
            m_capacities.append(plan.capacityGb);
    }
    std::sort(m_capacities.begin(), m_capacities.end());

    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
    setObjectName(QStringLiteral("PayDlgHost"));
    setStyleSheet(QStringLiteral("background:transparent;"));
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedWidth(DialogWidth);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(buildCard());

    m_pollTimer = new QTimer(this);
    m_pollTimer->setObjectName(QStringLiteral("PayPollTimer"));
    m_pollTimer->setInterval(PollIntervalMs);

    m_monthCard->setAction([this] { selectDuration(Monthly); });
    m_yearCard->setAction([this] { selectDuration(Yearly); });
    connect(m_capCombo, &QComboBox::currentIndexChanged, this, &PayDialog::selectCapacityIndex);
    connect(m_genButton, &QPushButton::clicked, this, &PayDialog::createOrder);
    connect(m_pollTimer, &QTimer::timeout, this, &PayDialog::poll);
    connect(this, &QDialog::finished, m_pollTimer, &QTimer::stop);
    if (m_onPaid)
        connect(this, &QDialog::accepted, this, [this] { m_onPaid(); });

    refresh();
}

PayDialog::~PayDialog() = default;

QWidget *PayDialog::buildCard()
{
    auto *card = new QWidget(this);
    card->setObjectName(QStringLiteral("PayCard"));
    card->setAttribute(Qt::WA_StyledBackground);
    card->setStyleSheet(CardStyle);
    auto *cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(0, 0, 0, 0);
    cardLayout->setSpacing(0);

    auto *topBar = new GradBar(card);
    topBar->setObjectName(QStringLiteral("PayTopBar"));
    topBar->setFixedHeight(3);
    cardLayout->addWidget(topBar);

    auto *body = new QVBoxLayout;
    body->setContentsMargins(26, 18, 26, 24);
    body->setSpacing(0);
    cardLayout->addLayout(body);

    auto *titleRow = new QHBoxLayout;
    titleRow->setSpacing(8);
    titleRow->addWidget(namedLabel(QStringLiteral("PayTitleIco"), QStringLiteral("❤"), card));
    titleRow->addWidget(namedLabel(QStringLiteral("PayTitle"), QStringLiteral("容量购买"), card));
    titleRow->addStretch();
    auto *close = new CloseButton(card);
    close->setObjectName(QStringLiteral("PayClose"));
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    titleRow->addWidget(close);
    body->addLayout(titleRow);

    body->addSpacing(6);
    auto *sub = namedLabel(
        QStringLiteral("PaySub"),
        QStringLiteral("选择容量与购买时长，使用支付宝扫码付款；支付成功后自动扩容到账，无需手动刷新。"), card);
    sub->setWordWrap(true);
    body->addWidget(sub);

    const Session *session = Session::instance();
    body->addSpacing(12);
    body->addWidget(infoRow(card, QStringLiteral("登录账号"), session->username, false));
    body->addSpacing(12);
    body->addWidget(infoRow(card, QStringLiteral("当前设备码"), Session::instance()->ensureMachineCode(), true));

    body->addSpacing(12);
    auto *capRow = new QFrame(card);
    capRow->setObjectName(QStringLiteral("PayMc"));
    capRow->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto *capLayout = new QHBoxLayout(capRow);
    capLayout->setContentsMargins(14, 9, 14, 9);
    capLayout->setSpacing(10);
    capLayout->addWidget(namedLabel(QStringLiteral("PayMcLabel"), QStringLiteral("购买容量"), capRow));
    m_capCombo = new QComboBox(capRow);
    m_capCombo->setObjectName(QStringLiteral("CapCombo"));
    m_capCombo->setStyleSheet(ComboStyle);
    for (int gb : std::as_const(m_capacities))
        m_capCombo->addItem(capacityText(gb), gb);
    capLayout->addWidget(m_capCombo, 1);
    body->addWidget(capRow);

    body->addSpacing(14);
    auto *plans = new QHBoxLayout;
    plans->setSpacing(12);
    m_monthCard = new PlanCard(card);
    m_monthCard->setObjectName(QStringLiteral("PC"));
    m_monthCard->setProperty("duration", int(Monthly));
    m_monthCard->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto *monthLayout = new QVBoxLayout(m_monthCard);
    monthLayout->setContentsMargins(16, 14, 16, 14);
    monthLayout->setSpacing(3);
    monthLayout->addWidget(namedLabel(QStringLiteral("PlanName"), QStringLiteral("月卡"), m_monthCard));
    m_monthPrice = namedLabel(QStringLiteral("PlanPrice"), QStringLiteral("—"), m_monthCard);
    monthLayout->addLayout(
        priceRow(m_monthPrice, namedLabel(QStringLiteral("PlanUnit"), QStringLiteral("/月"), m_monthCard)));
    m_monthDays = namedLabel(QStringLiteral("PlanDays"), QString(), m_monthCard);
    monthLayout->addWidget(m_monthDays);
    plans->addWidget(m_monthCard, 1);

    m_yearCard = new PlanCard(card);
    m_yearCard->setProperty("duration", int(Yearly));
    m_yearCard->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto *yearLayout = new QVBoxLayout(m_yearCard);
    yearLayout->setContentsMargins(16, 14, 16, 14);
    yearLayout->setSpacing(3);
    auto *yearTitle = new QHBoxLayout;
    yearTitle->setSpacing(6);
    yearTitle->addWidget(namedLabel(QStringLiteral("PlanName"), QStringLiteral("年卡"), m_yearCard), 1);
    auto *badge = namedLabel(QStringLiteral("PlanBadge"), QStringLiteral("超值"), m_yearCard);
    badge->setAlignment(Qt::AlignCenter);
    yearTitle->addWidget(badge, 0, Qt::AlignTop);
    yearLayout->addLayout(yearTitle);
    m_yearPrice = namedLabel(QStringLiteral("PlanPrice"), QStringLiteral("—"), m_yearCard);
    yearLayout->addLayout(
        priceRow(m_yearPrice, namedLabel(QStringLiteral("PlanUnit"), QStringLiteral("/年"), m_yearCard)));
    m_yearDays = namedLabel(QStringLiteral("PlanDays"), QString(), m_yearCard);
    yearLayout->addWidget(m_yearDays);
    plans->addWidget(m_yearCard, 1);
    body->addLayout(plans);

    body->addSpacing(14);
    m_status = namedLabel(QStringLiteral("PayStatus"), PromptText, card);
    m_status->setAlignment(Qt::AlignCenter);
    // Plain, for the server's error texts; only the paid notice switches it to rich text.
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    body->addWidget(m_status);

    body->addSpacing(14);
    m_qr = namedLabel(QStringLiteral("PayQrImg"), QString(), card);
    m_qr->setFixedSize(QrSize, QrSize);
    m_qr->setAlignment(Qt::AlignCenter);
    m_qr->setWordWrap(true);
    m_qr->setStyleSheet(QStringLiteral("QLabel#PayQrImg{background:#fafbfc;border:1px solid #eef0f4;border-radius:12px;"
                                       "color:#8a93a6;font-size:13px;}"));
    m_qr->hide();
    body->addWidget(m_qr, 0, Qt::AlignHCenter);

    body->addSpacing(12);
    m_genButton = new QPushButton(GenerateText, card);
    m_genButton->setObjectName(QStringLiteral("GenBtn"));
    m_genButton->setFixedHeight(GenButtonHeight);
    m_genButton->setCursor(Qt::PointingHandCursor);
    m_genButton->setStyleSheet(GenButtonRules);
    body->addWidget(m_genButton);
    body->addStretch();
    return card;
}

QWidget *PayDialog::infoRow(QWidget *parent, const QString &caption, const QString &value, bool withCopy)
{
    auto *row = new QFrame(parent);
    row->setObjectName(QStringLiteral("PayMc"));
    row->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(14, 9, 14, 9);
    layout->setSpacing(10);
    layout->addWidget(namedLabel(QStringLiteral("PayMcLabel"), caption, row));
    auto *valueLabel = namedLabel(QStringLiteral("PayMcVal"), value.isEmpty() ? QStringLiteral("—") : value, row);
    valueLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(valueLabel, 1);
    if (withCopy) {
        auto *copy = new QPushButton(QStringLiteral("📋"), row);
        copy->setObjectName(QStringLiteral("PayCopy"));
        copy->setCursor(Qt::PointingHandCursor);
        copy->setFixedWidth(26);
        copy->setToolTip(QStringLiteral("复制设备码"));
        connect(copy, &QPushButton::clicked, this, [value] { QGuiApplication::clipboard()->setText(value); });
        layout->addWidget(copy);
    }
    return row;
}

void PayDialog::openCentred()
{
    QPointer<PayDialog> self(this);
    QTimer::singleShot(0, this, [self] {
        if (!self)
            return;
        const QWidget *parent = self->parentWidget();
        QRect reference;
        if (parent)
            reference = parent->window()->geometry();
        else if (const QScreen *screen = QGuiApplication::primaryScreen())
            reference = screen->availableGeometry();
        self->adjustSize();
        self->centreOn(reference);
    });
    open();
}

void PayDialog::centreOn(const QRect &reference)
{
    if (!reference.isValid())
        return;
    QRect frame = geometry();
    frame.moveCenter(reference.center());
    move(frame.topLeft());
}

bool PayDialog::isPolling() const
{
    return m_pollTimer->isActive();
}

int PayDialog::currentCapacity() const
{
    if (m_capacities.isEmpty())
        return 0;
    const int index = m_capacityIndex >= 0 && m_capacityIndex < m_capacities.size() ? m_capacityIndex : 0;
    return m_capacities.at(index);
}

const CapPlan *PayDialog::planFor(int capacity, int duration) const
{
    for (const CapPlan &plan : m_plans) {
        const bool yearly = plan.durationDays >= YearDays;
        if (plan.capacityGb == capacity && yearly == (duration == Yearly))
            return &plan;
    }
    return nullptr;
}

void PayDialog::refresh()
{
    if (m_capacities.isEmpty())
        return;
    const int capacity = currentCapacity();
    const CapPlan *monthly = planFor(capacity, Monthly);
    const CapPlan *yearly = planFor(capacity, Yearly);
    m_monthPrice->setText(monthly ? priceText(monthly->priceFen) : QStringLiteral("—"));
    m_monthDays->setText(QStringLiteral("扩容 %1 · 31 天").arg(capacityText(capacity)));
    m_yearPrice->setText(yearly ? priceText(yearly->priceFen) : QStringLiteral("—"));
    m_yearDays->setText(QStringLiteral("扩容 %1 · 366 天").arg(capacityText(capacity)));
    m_monthCard->setStyleSheet(planCardStyle(m_duration == Monthly));
    m_yearCard->setStyleSheet(planCardStyle(m_duration == Yearly));
}

void PayDialog::reset()
{
    m_pollTimer->stop();
    // An order still being created was for the previous choice; its answer must not show up now.
    ++m_orderRequest;
    m_qr->hide();
    m_qr->clear();
    m_genButton->setEnabled(true);
    m_genButton->setText(GenerateText);
    m_status->setText(PromptText);
    adjustSize();
}

void PayDialog::selectDuration(int duration)
{
    if (m_paid)
        return;
    m_duration = duration == Monthly ? Monthly : Yearly;
    reset();
    refresh();
}

void PayDialog::selectCapacityIndex(int index)
{
    if (m_paid)
        return;
    m_capacityIndex = index;
    reset();
    refresh();
}

void PayDialog::createOrder()
{
    if (m_paid)
        return;
    if (m_capacities.isEmpty()) {
        m_status->setText(QStringLiteral("暂无可用容量档位"));
        return;
    }
    const CapPlan *plan = planFor(currentCapacity(), m_duration);
    if (!plan) {
        m_status->setText(QStringLiteral("该容量档位暂不可用，请重新选择"));
        return;
    }
    m_genButton->setEnabled(false);
    m_genButton->setText(QStringLiteral("正在生成收款码…"));
    m_status->setText(QStringLiteral("正在生成支付宝收款二维码…"));
    m_qr->hide();

    // An order created earlier keeps being polled until this one replaces it.
    const int request = ++m_orderRequest;
    QPointer<PayDialog> self(this);
    const QJsonObject body{{QStringLiteral("plan_id"), plan->id},
                           {QStringLiteral("plan_type"), QStringLiteral("capacity")}};
    HttpClient::instance()->send("POST", QStringLiteral("/api/payment/alipay/precreate"), body,
                                 [self, request](const HttpResponse &response) {
                                     if (!self || request != self->m_orderRequest)
                                         return;
                                     self->applyOrderAnswer(response);
                                 });
}

void PayDialog::applyOrderAnswer(const HttpResponse &response)
{
    if (m_paid)
        return;
    const bool isObject = response.isJson && response.json.isObject();
    const QJsonObject top = isObject ? response.json.toObject() : QJsonObject();
    const QJsonObject data = top.value(QStringLiteral("data")).toObject();
    const QString qr = data.value(QStringLiteral("qr")).toString();
    const QString order = data.value(QStringLiteral("order_no")).toString();
    const int comma = qr.indexOf(QLatin1Char(','));
    const QByteArray bytes = comma >= 0 ? QByteArray::fromBase64(qr.mid(comma + 1).toLatin1()) : QByteArray();
    QPixmap pixmap;
    if (order.isEmpty() || bytes.isEmpty() || !pixmap.loadFromData(bytes)) {
        m_genButton->setEnabled(true);
        m_genButton->setText(GenerateText);
        QString text;
        if (isObject) {
            const QJsonValue message = top.value(QStringLiteral("message"));
            const QJsonValue error = top.value(QStringLiteral("error"));
            text = message.isString() ? message.toString() : error.toString();
        }
        m_status->setText(text.isEmpty() ? QStringLiteral("收款码生成失败，请稍后重试") : text);
        return;
    }

    m_orderNo = order;
    m_qr->setPixmap(pixmap.scaled(QrSize, QrSize, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    m_qr->show();
    m_status->setText(QStringLiteral("请使用支付宝扫码付款，支付成功后自动扩容到账"));
    m_genButton->setText(QStringLiteral("重新生成收款码"));
    m_genButton->setEnabled(true);
    adjustSize();
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        centreOn(screen->availableGeometry());
    m_pollTimer->start();
}

void PayDialog::poll()
{
    if (m_orderNo.isEmpty() || m_paid)
        return;
    const QString orderNo = m_orderNo;
    QPointer<PayDialog> self(this);
    HttpClient::instance()->get(QStringLiteral("/api/payment/order/") +
                                    QString::fromLatin1(QUrl::toPercentEncoding(orderNo)),
                                [self, orderNo](const HttpResponse &response) {
                                    if (self)
                                        self->applyPollAnswer(orderNo, response);
                                });
}

void PayDialog::applyPollAnswer(const QString &orderNo, const HttpResponse &response)
{
    // Overlapping polls may both say "paid"; and an answer about a replaced order says nothing about this one.
    if (m_paid || orderNo != m_orderNo)
        return;
    if (!response.isJson || !response.json.isObject())
        return;
    const QJsonObject data = response.json.toObject().value(QStringLiteral("data")).toObject();
    if (data.value(QStringLiteral("status")).toString() != QLatin1String("paid"))
        return;
    m_paid = true;
    m_pollTimer->stop();
    m_genButton->setEnabled(false);
    m_capCombo->setEnabled(false);
    m_status->setTextFormat(Qt::RichText);
    m_status->setText(PaidText);
    QTimer::singleShot(PaidCloseDelayMs, this, &QDialog::accept);
}

} // namespace paydlg
