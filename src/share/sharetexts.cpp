#include "share/sharetexts.h"

#include "files/formatting.h"

namespace ShareText {

QString copyText(const QString &url, const QString &code)
{
    QString text = QStringLiteral("链接：%1").arg(url);
    if (!code.isEmpty())
        text += QStringLiteral("  提取码：%1").arg(code);
    return text;
}

QString stateText(const QString &state)
{
    if (state == QLatin1String("active"))
        return QStringLiteral("有效");
    if (state == QLatin1String("expired"))
        return QStringLiteral("已过期");
    if (state == QLatin1String("cancelled"))
        return QStringLiteral("已取消");
    if (state == QLatin1String("deleted"))
        return QStringLiteral("文件已删除");
    return QStringLiteral("未知");
}

QString expiryText(const QString &expiresAt)
{
    return expiresAt.isEmpty() ? QStringLiteral("永久") : formatDateTime(expiresAt);
}

} // namespace ShareText
