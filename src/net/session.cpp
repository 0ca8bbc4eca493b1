#include "net/session.h"

#include "net/httpresponse.h"
#include "net/jsonnumber.h"
#include "net/machinecode.h"

Session *Session::instance()
{
    static Session session;
    return &session;
}

bool Session::applyLogin(const QJsonObject &data)
{
    const QString id = jsonText(data, QStringLiteral("id"));
    if (id.isEmpty())
        return false;

    userId = id;
    username = jsonText(data, QStringLiteral("username"));
    name = jsonText(data, QStringLiteral("name"));
    phone = jsonText(data, QStringLiteral("phone"));
    token = jsonText(data, QStringLiteral("loginToken"));
    avatarUrl = jsonText(data, QStringLiteral("avatar_url"));
    emit changed();

    // A numeric string is accepted too rather than read as 0; nothing negative or past 64 bits.
    storageUsed = jsonByteCount(data, QStringLiteral("storage_used"));
    storageLimit = jsonByteCount(data, QStringLiteral("storage_limit"));
    emit capacityChanged();
    return true;
}

void Session::setCompanyName(const QString &value)
{
    if (companyName == value)
        return;
    companyName = value;
    emit changed();
}

void Session::clear()
{
    userId.clear();
    username.clear();
    name.clear();
    phone.clear();
    companyName.clear();
    token.clear();
    avatarUrl.clear();
    vaultToken.clear();
    storageUsed = 0;
    storageLimit = 0;
    emit changed();
    emit capacityChanged();
}

QString Session::ensureMachineCode()
{
    if (machineCode.isEmpty())
        machineCode = computeMachineCode();
    return machineCode;
}
