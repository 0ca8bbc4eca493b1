#include "app/statusbar.h"

#include "app/supportcontacts.h"
#include "net/httpclient.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QTextDocument>
#include <QTimer>

namespace {

constexpr char StatusBarStyle[] = "QFrame#StatusBar{background:#f2f3f5;border-top:1px solid #e0e2e6;}"
                                  "QLabel{background:transparent;color:#333;font-size:13px;border:none;}"
                                  "QLabel a{color:#1a56b0;text-decoration:none;}";

const QString ConnectionPrefix = QStringLiteral("服务器连接状态：");
const QString ConnectionChecking = QStringLiteral("<span style='color:#8a93a6;'>检测中…</span>");
const QString ConnectionUp = QStringLiteral("<span style='color:#2f9e5f;'>● 已连接</span>");
const QString ConnectionDown = QStringLiteral("<span style='color:#e85440;'>● 连接中断</span>");

constexpr char LinkStyle[] = "color:#1a56b0;text-decoration:none;";

const QColor MeterGreen(47, 158, 95);
const QColor MeterRed(232, 84, 64);
const QColor MeterIdle(207, 214, 224);
constexpr int MeterBars = 6;

// The connection text changes with every probe; room for its longest form.
int connectionWidth(const QLabel *connection)
{
    QLabel probe;
    probe.setFont(connection->font());
    probe.setTextFormat(Qt::RichText);
    int widest = 0;
    for (const QString &state : {ConnectionChecking, ConnectionUp, ConnectionDown}) {
        probe.setText(ConnectionPrefix + state);
        widest = qMax(widest, probe.sizeHint().width());
    }
    return qMax(widest, connection->sizeHint().width());
}

// The contacts in the order they stay when the bar is narrow: the first always shows.
const char *const ContactPriority[] = {"tel", "site", "wechat", "qq", "mobile"};
// The clock's digits differ a little in width from second to second.
constexpr int ClockSlack = 8;

QList<QLabel *> contactsByPriority(const QWidget *bar)
{
    QList<QLabel *> contacts;
    for (const char *key : ContactPriority) {
        if (auto *label = bar->findChild<QLabel *>(QStringLiteral("SupportLink_") + QLatin1String(key)))
            contacts.append(label);
    }
    return contacts;
}

// Everything of the bar but the contacts, at the width its parts ask for.
int widthBesideContacts(const QWidget *bar, int connectionWidth)
{
    const auto *layout = static_cast<const QHBoxLayout *>(bar->layout());
    const QMargins margins = layout->contentsMargins();
    int width = margins.left() + margins.right() + connectionWidth + ClockSlack;
    int items = 1; // the contacts group
    for (const char *name : {"MeterLabel", "VersionLabel", "ClockLabel"}) {
        if (const auto *label = bar->findChild<QLabel *>(QLatin1String(name))) {
            width += label->sizeHint().width();
            ++items;
        }
    }
    return width + items * layout->spacing();
}

// Shows as many contacts as the bar's width holds whole, in priority order; the group's tool tip
// lists them all whenever some had to give way.
class ContactFitter final : public QObject
{
public:
    explicit ContactFitter(StatusBar *bar)
        : QObject(bar)
        , m_bar(bar)
    {}

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_bar && (event->type() == QEvent::Resize || event->type() == QEvent::Show))
            fit();
        return QObject::eventFilter(watched, event);
    }

    void fit()
    {
        QWidget *group = m_bar->findChild<QWidget *>(QStringLiteral("SupportLinks"));
        const QList<QLabel *> contacts = contactsByPriority(m_bar);
        if (!group || contacts.isEmpty())
            return;
        const int gap = group->layout()->spacing();
        const int room =
            m_bar->width() -
            widthBesideContacts(m_bar, connectionWidth(m_bar->findChild<QLabel *>(QStringLiteral("ConnectionLabel"))));
        int used = 0;
        bool allShown = true;
        QStringList all;
        for (QLabel *contact : contacts) {
            const int need = contact->sizeHint().width() + (used > 0 ? gap : 0);
            const bool fits = contact == contacts.first() || used + need <= room;
            contact->setVisible(fits);
            if (fits)
                used += need;
            allShown = allShown && fits;
            QTextDocument text;
            text.setHtml(contact->text());
            all.append(text.toPlainText());
        }
        group->setToolTip(allShown ? QString() : all.join(QStringLiteral("　")));
    }

private:
    StatusBar *m_bar;
};

} // namespace

StatusBar::StatusBar(QWidget *parent)
    : QFrame(parent)
    , m_openUrl([](const QUrl &url) { return QDesktopServices::openUrl(url); })
{
    setObjectName(QStringLiteral("StatusBar"));
    setFixedHeight(28);
    setStyleSheet(QString::fromLatin1(StatusBarStyle));

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(14, 0, 14, 0);
    layout->setSpacing(12);

    m_connectionLabel = new QLabel(this);
    m_connectionLabel->setObjectName(QStringLiteral("ConnectionLabel"));
    m_connectionLabel->setTextFormat(Qt::RichText);
    m_connectionLabel->setText(ConnectionPrefix + ConnectionChecking);
    layout->addWidget(m_connectionLabel);

    m_meterLabel = new QLabel(this);
    m_meterLabel->setObjectName(QStringLiteral("MeterLabel"));
    m_meterLabel->setToolTip(QStringLiteral("实时网速（上传/下载的当前速率，速率越高点亮越多）"));
    showMeter(0, false);
    layout->addWidget(m_meterLabel, 0, Qt::AlignVCenter);

    // The contacts sit centred in the room between the meter and the version. One centred group
    // instead of two stretches: spacers would each take a spacing of their own.
    auto *contacts = new QWidget(this);
    contacts->setObjectName(QStringLiteral("SupportLinks"));
    auto *contactsLayout = new QHBoxLayout(contacts);
    contactsLayout->setContentsMargins(0, 0, 0, 0);
    // Tighter than the bar's own spacing: the bar's width is the floor of the window's, and the
    // default 1180 px must hold it whole.
    contactsLayout->setSpacing(8);
    using namespace SupportContacts;
    contactsLayout->addWidget(
        addSupportLink(QStringLiteral("QQ"), QStringLiteral("qq"), QString::fromLatin1(QqNumber)));
    contactsLayout->addWidget(
        addSupportLink(QStringLiteral("微信"), QStringLiteral("wechat"), QString::fromLatin1(WechatId)));
    contactsLayout->addWidget(
        addSupportLink(QStringLiteral("电话"), QStringLiteral("tel"), QString::fromLatin1(Telephone)));
    contactsLayout->addWidget(
        addSupportLink(QStringLiteral("手机"), QStringLiteral("mobile"), QString::fromLatin1(Mobile)));
    contactsLayout->addWidget(
        addSupportLink(QStringLiteral("官网"), QStringLiteral("site"), QString::fromLatin1(Website)));
    layout->addWidget(contacts, 1, Qt::AlignCenter);
    auto *fitter = new ContactFitter(this);
    installEventFilter(fitter);

    auto *version = new QLabel(QStringLiteral("版本：V") + QString::fromLatin1(Version), this);
    version->setObjectName(QStringLiteral("VersionLabel"));
    layout->addWidget(version);

    m_clockLabel = new QLabel(this);
    m_clockLabel->setObjectName(QStringLiteral("ClockLabel"));
    layout->addWidget(m_clockLabel);

    m_clockTimer = new QTimer(this);
    m_clockTimer->setInterval(ClockIntervalMs);
    connect(m_clockTimer, &QTimer::timeout, this, &StatusBar::clockTick);
    m_clockTimer->start();
    clockTick();

    m_connectionTimer = new QTimer(this);
    m_connectionTimer->setInterval(ConnectionIntervalMs);
    connect(m_connectionTimer, &QTimer::timeout, this, &StatusBar::checkConnection);
    m_connectionTimer->start();
    QTimer::singleShot(FirstProbeDelayMs, this, &StatusBar::checkConnection);
    connect(HttpClient::instance(), &HttpClient::connectionFailed, this, &StatusBar::connectionFailed);
}

QLabel *StatusBar::addSupportLink(const QString &label, const QString &key, const QString &value)
{
    auto *link = new QLabel(this);
    link->setObjectName(QStringLiteral("SupportLink_") + key);
    link->setTextFormat(Qt::RichText);
    link->setCursor(Qt::PointingHandCursor);
    link->setOpenExternalLinks(false);
    link->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    // Style sheets do not reach into rich text, so the link colour is given on the anchor itself.
    link->setText(QStringLiteral("%1：<a href=\"%2\" style=\"%3\">%4</a>")
                      .arg(label.toHtmlEscaped(), key, QLatin1String(LinkStyle), value.toHtmlEscaped()));
    connect(link, &QLabel::linkActivated, this, &StatusBar::openSupportLink);
    return link;
}

void StatusBar::setUrlOpener(std::function<bool(const QUrl &)> opener)
{
    m_openUrl = std::move(opener);
}

void StatusBar::openSupportLink(const QString &key)
{
    using namespace SupportContacts;
    if (key == QLatin1String("qq")) {
        m_openUrl(QUrl(QStringLiteral("tencent://message/?uin=%1&Site=&Menu=yes").arg(QLatin1String(QqNumber))));
    } else if (key == QLatin1String("wechat")) {
        QGuiApplication::clipboard()->setText(QString::fromLatin1(WechatId));
        m_openUrl(QUrl(QStringLiteral("weixin://")));
    } else if (key == QLatin1String("tel")) {
        QGuiApplication::clipboard()->setText(QString::fromLatin1(Telephone));
    } else if (key == QLatin1String("mobile")) {
        QGuiApplication::clipboard()->setText(QString::fromLatin1(Mobile));
    } else if (key == QLatin1String("site")) {
        m_openUrl(QUrl(QString::fromLatin1(Website)));
    }
}

void StatusBar::checkConnection()
{
    const quint64 serial = ++m_probeSerial;
    QPointer<StatusBar> self(this);
    HttpClient::instance()->get(QStringLiteral("/api/plans"), [self, serial](const HttpResponse &response) {
        if (!self || serial < self->m_shownProbeSerial)
            return;
        self->m_shownProbeSerial = serial;
        self->m_connected = response.status >= 100;
        self->m_knownDown = !self->m_connected;
        self->m_connectionLabel->setText(ConnectionPrefix + (self->m_connected ? ConnectionUp : ConnectionDown));
        if (self->m_connected)
            self->showMeter(meterLevel(qMax(self->m_downRate, self->m_upRate)), true);
        else
            self->showMeter(0, true);
        emit self->connectionProbed(self->m_connected);
    });
}

void StatusBar::connectionFailed()
{
    m_shownProbeSerial = ++m_probeSerial;
    m_connected = false;
    m_connectionLabel->setText(ConnectionPrefix + ConnectionDown);
    showMeter(0, true);
    // Said once per outage; the timer's probes find the server again.
    if (!m_knownDown) {
        m_knownDown = true;
        emit connectionProbed(false);
    }
}

void StatusBar::meterTick()
{
    HttpClient *client = HttpClient::instance();
    m_downRate = client->bytesDown;
    m_upRate = client->bytesUp;
    client->bytesDown = 0;
    client->bytesUp = 0;
    if (m_connected)
        showMeter(meterLevel(qMax(m_downRate, m_upRate)), true);
}

QSize StatusBar::minimumSizeHint() const
{
    const QSize base = QFrame::minimumSizeHint();
    // Narrow, the contacts give way down to the first one (see ContactFitter).
    const QList<QLabel *> contacts = contactsByPriority(this);
    const int contactWidth = contacts.isEmpty() ? 0 : contacts.first()->sizeHint().width();
    return {widthBesideContacts(this, connectionWidth(m_connectionLabel)) + contactWidth,
            qMax(base.height(), minimumHeight())};
}

void StatusBar::restartMeter()
{
    HttpClient *client = HttpClient::instance();
    client->bytesDown = 0;
    client->bytesUp = 0;
    m_downRate = 0;
    m_upRate = 0;
    if (m_connected)
        showMeter(0, true);
}

void StatusBar::clockTick()
{
    m_clockLabel->setText(clockText(QDateTime::currentDateTime()));
}

void StatusBar::showMeter(int level, bool active)
{
    m_meterLabel->setPixmap(meterPixmap(level, active));
}

int meterLevel(qint64 bytesPerSecond)
{
    if (bytesPerSecond <= 0)
        return 0;
    if (bytesPerSecond < 1024)
        return 1;
    if (bytesPerSecond < 512 * 1024)
        return 2;
    if (bytesPerSecond < 2 * 1024 * 1024)
        return 3;
    if (bytesPerSecond < 8 * 1024 * 1024)
        return 4;
    if (bytesPerSecond < 25 * 1024 * 1024)
        return 5;
    return 6;
}

QPixmap meterPixmap(int level, bool active)
{
    QPixmap pixmap(34, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    for (int i = 0; i < MeterBars; ++i) {
        const QColor colour = i < level ? (active ? MeterGreen : MeterRed) : MeterIdle;
        painter.fillRect(QRect(6 * i, 12 - 2 * i, 4, 4 + 2 * i), colour);
    }
    return pixmap;
}

QString clockText(const QDateTime &time)
{
    static const QString weekdays[] = {QStringLiteral("星期一"), QStringLiteral("星期二"), QStringLiteral("星期三"),
                                       QStringLiteral("星期四"), QStringLiteral("星期五"), QStringLiteral("星期六"),
                                       QStringLiteral("星期日")};
    const int day = time.date().dayOfWeek();
    const QString weekday = day >= 1 && day <= 7 ? weekdays[day - 1] : QString();
    return time.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss ")) + weekday;
}
