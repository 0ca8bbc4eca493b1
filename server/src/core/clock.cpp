#include "core/clock.h"

#include <QTimeZone>

namespace tvr::server {

QDateTime Clock::now() const
{
    return QDateTime::currentDateTimeUtc().addSecs(offset());
}

qint64 Clock::nowSecs() const
{
    return now().toSecsSinceEpoch();
}

QString Clock::format(const QDateTime &utc)
{
    return utc.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
}

} // namespace tvr::server
