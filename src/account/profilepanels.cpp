#include "account/profilepanels.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace pfp {

namespace {
const QString PanelStyle = QStringLiteral(
    "#PfPanel{background:#ffffff;border:1px solid #e9edf4;border-radius:14px;}"
    "#PfPanel QLabel{background:transparent;border:none;}"
    "QLineEdit{background:#fbfcfe;border:1px solid #e3e8f0;border-radius:8px;padding:0 12px;   min-height:38px;"
    "color:#1a1a2e;font-size:14px;selection-background-color:#C9A84C;}"
    "QLineEdit:hover{border:1px solid #cdd6e4;}QLineEdit:focus{border:1px solid #C9A84C;background:#ffffff;}");
} // namespace

QFrame *panel(QWidget *parent, const QString &title, QVBoxLayout **layout)
{
    auto *frame = new QFrame(parent);
    frame->setObjectName(QStringLiteral("PfPanel"));
    frame->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    frame->setStyleSheet(PanelStyle);
    auto *column = new QVBoxLayout(frame);
    column->setContentsMargins(24, 22, 24, 24);
    column->setSpacing(16);
    if (!title.isEmpty()) {
        auto *titleRow = new QHBoxLayout;
        titleRow->setSpacing(10);
        auto *accent = new QFrame(frame);
        accent->setObjectName(QStringLiteral("PfAccent"));
        accent->setFixedSize(4, 18);
        accent->setStyleSheet(QStringLiteral("#PfAccent{background:qlineargradient(x1:0,y1:0,x2:0,y2:1,stop:0 #C9A84C,"
                                             "stop:1 #24365c);border-radius:2px;border:none;}"));
        titleRow->addWidget(accent, 0, Qt::AlignVCenter);
        titleRow->addWidget(styledLabel(title, QStringLiteral("font-size:17px;font-weight:700;color:#1A2A4A;"), frame));
        titleRow->addStretch();
        column->addLayout(titleRow);
        column->addWidget(rule(QStringLiteral("border:none;background:#eef0f4;"), frame));
    }
    *layout = column;
    return frame;
}

QLabel *sectionHeading(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(QStringLiteral("<span style='color:#C9A84C;'>■</span>  ") + text.toHtmlEscaped(), parent);
    label->setTextFormat(Qt::RichText);
    label->setStyleSheet(QStringLiteral("color:#1A2A4A;font-size:14px;font-weight:700;background:transparent;"));
    return label;
}

QLabel *plainHeading(const QString &text, QWidget *parent)
{
    return styledLabel(text, QStringLiteral("color:#1A2A4A;font-size:15px;font-weight:700;background:transparent;"),
                       parent);
}

QLabel *paragraph(const QString &text, const QString &colour, int pixelSize, QWidget *parent)
{
    auto *label = styledLabel(
        text, QStringLiteral("color:%1;font-size:%2px;background:transparent;").arg(colour).arg(pixelSize), parent);
    label->setWordWrap(true);
    return label;
}

QLabel *styledLabel(const QString &text, const QString &style, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setStyleSheet(style);
    return label;
}

QFrame *rule(const QString &style, QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFixedHeight(1);
    line->setStyleSheet(style);
    return line;
}

} // namespace pfp
