#include "account/phonerule.h"

#include <QRegularExpression>

bool isValidPhone(const QString &text)
{
    static const QRegularExpression rule(QStringLiteral("^1\\d{10}$"));
    return rule.match(text.trimmed()).hasMatch();
}
