#include "files/filerecord.h"

bool isFolderRecord(const QJsonObject &record)
{
    return jsonText(record, QStringLiteral("type")) == QLatin1String("folder");
}
