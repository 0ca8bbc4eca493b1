#include "ui/offlineoverlay.h"

#include "net/httpresponse.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

const QString OfflineOverlay::OfflineTitle = QStringLiteral("无法连接服务器");
const QString OfflineOverlay::OfflineDetail = QStringLiteral("请检查网络后重试；列表仍是上次加载的内容");
const QString OfflineOverlay::FailedTitle = QStringLiteral("加载失败");

namespace {

constexpr int MarkEdge = 56;
constexpr int DetailWidth = 320;
constexpr int DetailMinWidth = 120;
constexpr int DetailMargin = 16;

constexpr char MarkStyle[] = "QLabel{background:#1A2A4A;color:#E4C772;border-radius:28px;font-size:26px;"
                             "font-weight:700;}";
constexpr char TitleStyle[] = "QLabel{color:#1A2A4A;font-size:17px;font-weight:700;background:transparent;}";
constexpr char DetailStyle[] = "QLabel{color:#6b7385;font-size:13px;background:transparent;}";
constexpr char RetryStyle[] =
    "QPushButton{background:qlineargradient(x1:0,y1:0,x2:0,y2:1,stop:0 #E4C772,stop:0.5 #C9A84C,stop:1 #B8963F);"
    "color:#1A2A4A;border:none;border-radius:8px;padding:8px 28px;font-size:14px;font-weight:700;}"
    "QPushButton:hover{background:qlineargradient(x1:0,y1:0,x2:0,y2:1,stop:0 #EBD088,stop:0.5 #D2B25A,"
    "stop:1 #C29B3E);}QPushButton:pressed{background:#A8862F;}";

} // namespace

OfflineOverlay::OfflineOverlay(QWidget *covered)
    : QWidget(covered)
{
    setObjectName(QStringLiteral("OfflineOverlay"));
    // Covers the list whole: clicks and wheel turns must not reach rows that may be stale.
    setAttribute(Qt::WA_NoMousePropagation);

    auto *column = new QVBoxLayout(this);
    column->setSpacing(10);
    column->addStretch(1);

    m_mark = new QLabel(QStringLiteral("!"), this);
    m_mark->setObjectName(QStringLiteral("OfflineMark"));
    m_mark->setAlignment(Qt::AlignCenter);
    m_mark->setFixedSize(MarkEdge, MarkEdge);
    m_mark->setStyleSheet(QString::fromLatin1(MarkStyle));
    column->addWidget(m_mark, 0, Qt::AlignHCenter);

    m_title = new QLabel(OfflineTitle, this);
    m_title->setObjectName(QStringLiteral("OfflineTitle"));
    m_title->setAlignment(Qt::AlignCenter);
    m_title->setStyleSheet(QString::fromLatin1(TitleStyle));
    column->addWidget(m_title, 0, Qt::AlignHCenter);

    m_detail = new QLabel(OfflineDetail, this);
    m_detail->setObjectName(QStringLiteral("OfflineDetail"));
    m_detail->setAlignment(Qt::AlignCenter);
    m_detail->setWordWrap(true);
    // Server texts are shown as they are, never as markup.
    m_detail->setTextFormat(Qt::PlainText);
    m_detail->setFixedWidth(DetailWidth);
    m_detail->setStyleSheet(QString::fromLatin1(DetailStyle));
    column->addWidget(m_detail, 0, Qt::AlignHCenter);

    m_retry = new QPushButton(QStringLiteral("重试"), this);
    m_retry->setObjectName(QStringLiteral("OfflineRetry"));
    m_retry->setCursor(Qt::PointingHandCursor);
    m_retry->setStyleSheet(QString::fromLatin1(RetryStyle));
    column->addSpacing(4);
    column->addWidget(m_retry, 0, Qt::AlignHCenter);
    column->addStretch(1);

    connect(m_retry, &QPushButton::clicked, this, &OfflineOverlay::retryRequested);
    covered->installEventFilter(this);
    setGeometry(covered->rect());
    hide();
}

OfflineOverlay::~OfflineOverlay() = default;

void OfflineOverlay::showFailure(const HttpResponse &response)
{
    if (response.networkError) {
        showOffline();
        return;
    }
    QJsonObject data;
    QString error;
    response.unwrap(data, error);
    showProblem(FailedTitle, error.isEmpty() ? response.error : error);
}

void OfflineOverlay::showOffline()
{
    showProblem(OfflineTitle, OfflineDetail);
}

void OfflineOverlay::showProblem(const QString &title, const QString &detail)
{
    m_title->setText(title);
    m_detail->setText(detail);
    setGeometry(parentWidget()->rect());
    raise();
    show();
}

QString OfflineOverlay::title() const
{
    return m_title->text();
}

QString OfflineOverlay::detail() const
{
    return m_detail->text();
}

bool OfflineOverlay::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return QWidget::eventFilter(watched, event);
}

void OfflineOverlay::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // A fixed width lets the wrapped line take the height it needs; narrow lists (the team list)
    // get a narrower line instead of being overrun by it.
    m_detail->setFixedWidth(qBound(DetailMinWidth, width() - 2 * DetailMargin, DetailWidth));
}

void OfflineOverlay::paintEvent(QPaintEvent *)
{
    // Nearly opaque: the rows behind stay faintly visible, which says they were not thrown away.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xff, 0xff, 0xff, 235));
    painter.drawRoundedRect(QRectF(rect()), 10, 10);
}
