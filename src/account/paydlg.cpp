#include "account/paydlg.h"

#include "account/paydialog.h"

namespace paydlg {

namespace {

constexpr int GbPerTb = 1024;

// gb / 1024 with one decimal, or none when gb is a whole number of TB. Rounded half up on integers.
QString terabytes(qint64 gb)
{
    if (gb % GbPerTb == 0)
        return QString::number(gb / GbPerTb);
    const qint64 tenths = (gb * 10 + GbPerTb / 2) / GbPerTb;
    return QStringLiteral("%1.%2").arg(tenths / 10).arg(tenths % 10);
}

// Yuan and fen of an amount, the sign kept apart so that -50 fen reads "-0.50".
QString yuan(qint64 fen, bool alwaysDecimals)
{
    const bool negative = fen < 0;
    const quint64 magnitude = negative ? quint64(0) - quint64(fen) : quint64(fen);
    QString text = QString::number(magnitude / 100);
    if (alwaysDecimals || magnitude % 100 != 0)
        text += QStringLiteral(".%1").arg(magnitude % 100, 2, 10, QLatin1Char('0'));
    return negative ? QLatin1Char('-') + text : text;
}

} // namespace

QDialog *show(QWidget *parent, const QList<CapPlan> &plans, std::function<void()> onPaid)
{
    auto *dialog = new PayDialog(parent, plans, std::move(onPaid));
    dialog->openCentred();
    return dialog;
}

QString capacityText(int gb)
{
    if (gb < GbPerTb)
        return QStringLiteral("%1GB").arg(gb);
    return terabytes(gb) + QStringLiteral("TB");
}

QString capacityCellText(qint64 gb)
{
    if (gb < 1)
        return QStringLiteral("-");
    if (gb < GbPerTb)
        return QStringLiteral("%1 GB").arg(gb);
    return terabytes(gb) + QStringLiteral(" TB");
}

QString priceText(qint64 fen)
{
    return QStringLiteral("¥") + yuan(fen, false);
}

QString amountText(qint64 fen)
{
    return QStringLiteral("¥") + yuan(fen, true);
}

QString planCardStyle(bool selected)
{
    return QStringLiteral(
               "QFrame#PC{background:%1;border:1.5px solid "
               "%2;border-radius:12px;}QFrame#PC:hover{border-color:#d7c88f;}"
               "QLabel#PlanName{color:%3;font-size:14px;font-weight:600;background:transparent;border:none;}"
               "QLabel#PlanPrice{color:%4;font-size:22px;font-weight:700;background:transparent;border:none;}"
               "QLabel#PlanUnit{color:#8a93a6;font-size:12px;background:transparent;border:none;}"
               "QLabel#PlanDays{color:#8a93a6;font-size:12px;background:transparent;border:none;}"
               "QLabel#PlanBadge{background:#C9A84C;color:#ffffff;font-size:11px;font-weight:600;border-radius:10px;"
               "padding:1px 8px;border:none;}")
        .arg(selected ? QStringLiteral("rgba(201,168,76,0.07)") : QStringLiteral("#ffffff"),
             selected ? QStringLiteral("#C9A84C") : QStringLiteral("#e8eaef"),
             selected ? QStringLiteral("#1A2A4A") : QStringLiteral("#4a5568"),
             selected ? QStringLiteral("#b8963f") : QStringLiteral("#1A2A4A"));
}

} // namespace paydlg
