#include "sync/ignorerules.h"

QStringList IgnoreRules::defaultPatterns()
{
    return {
        QStringLiteral("*.part"),    QStringLiteral("*.part.meta"), QStringLiteral("~$*"),
        QStringLiteral(".~lock.*#"), QStringLiteral("*.tmp"),       QStringLiteral(".DS_Store"),
        QStringLiteral("Thumbs.db"),
    };
}

IgnoreRules::IgnoreRules()
    : IgnoreRules(QStringList())
{}

IgnoreRules::IgnoreRules(const QStringList &extraPatterns)
{
    for (const QString &pattern : defaultPatterns())
        add(pattern);
    for (const QString &pattern : extraPatterns) {
        const QString trimmed = pattern.trimmed();
        if (trimmed.isEmpty())
            continue;
        m_extra << trimmed;
        add(trimmed);
    }
}

void IgnoreRules::add(const QString &pattern)
{
    QString body = pattern;
    while (body.startsWith(QLatin1Char('/')))
        body.remove(0, 1);
    while (body.endsWith(QLatin1Char('/')))
        body.chop(1);
    if (body.isEmpty())
        return;
    const QRegularExpression expression(QRegularExpression::wildcardToRegularExpression(body));
    if (!expression.isValid())
        return;
    if (body.contains(QLatin1Char('/')))
        m_paths << expression;
    else
        m_names << expression;
}

bool IgnoreRules::isIgnoredName(const QString &name) const
{
    for (const QRegularExpression &expression : m_names) {
        if (expression.match(name).hasMatch())
            return true;
    }
    return false;
}

bool IgnoreRules::isIgnored(const QString &relativePath) const
{
    for (const QString &name : relativePath.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (isIgnoredName(name))
            return true;
    }
    return isIgnoredWholePath(relativePath);
}

bool IgnoreRules::isIgnoredWholePath(const QString &relativePath) const
{
    for (const QRegularExpression &expression : m_paths) {
        if (expression.match(relativePath).hasMatch())
            return true;
    }
    return false;
}
