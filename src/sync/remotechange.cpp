#include "sync/remotechange.h"

#include "net/httpresponse.h"

bool RemoteChange::fromJson(const QJsonObject &object, RemoteChange &change)
{
    change = RemoteChange();
    RemoteEntry &e = change.entry;
    e.id = jsonText(object, QStringLiteral("id"));
    if (e.id.isEmpty())
        return false;
    e.parentId = jsonText(object, QStringLiteral("parent_id"));
    e.name = jsonText(object, QStringLiteral("name"));
    e.path = jsonText(object, QStringLiteral("path"));
    e.isDir = jsonText(object, QStringLiteral("type")) == QLatin1String("folder");
    e.size = jsonInt64(object, QStringLiteral("size"));
    e.md5 = jsonText(object, QStringLiteral("md5")).toLower();
    e.updatedAt = jsonText(object, QStringLiteral("updated_at"));
    change.deleted = object.value(QStringLiteral("deleted")).toBool();
    change.seq = jsonInt64(object, QStringLiteral("seq"));
    return true;
}
