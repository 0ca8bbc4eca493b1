#include "sync/conflictname.h"

QString conflictCopyName(const QString &fileName, const QDateTime &when, int serial)
{
    QString stamp = when.toString(QStringLiteral("yyyy-MM-dd HHmm"));
    if (serial > 1)
        stamp += QLatin1Char(' ') + QString::number(serial);
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const bool hasExtension = dot > 0;
    const QString stem = hasExtension ? fileName.left(dot) : fileName;
    const QString extension = hasExtension ? fileName.mid(dot) : QString();
    return stem + QStringLiteral(" (冲突副本 ") + stamp + QLatin1Char(')') + extension;
}

QString conflictCopyPath(const QString &relativePath, const QDateTime &when, int serial)
{
    const qsizetype slash = relativePath.lastIndexOf(QLatin1Char('/'));
    return relativePath.left(slash + 1) + conflictCopyName(relativePath.mid(slash + 1), when, serial);
}
