#include "account/authapi.h"

#include "net/httpclient.h"

#include <QJsonObject>
#include <QUrl>

namespace Api {

QString checkUsernamePath(const QString &username)
{
    return QStringLiteral("/api/check-username?username=") +
           QString::fromLatin1(QUrl::toPercentEncoding(username.trimmed()));
}

void verifyIdentity(const QString &username, const QString &phone, HttpCallback callback)
{
    QJsonObject body;
    body.insert(QStringLiteral("username"), username);
    body.insert(QStringLiteral("phone"), phone);
    HttpClient::instance()->send("POST", QStringLiteral("/api/verify-identity"), body, std::move(callback));
}

void sendSms(const QString &phone, const QString &scenario, HttpCallback callback)
{
    QJsonObject body;
    body.insert(QStringLiteral("phone"), phone);
    body.insert(QStringLiteral("scenario"), scenario);
    HttpClient::instance()->send("POST", QStringLiteral("/api/send-sms"), body, std::move(callback));
}

void loginWithCode(const QString &username, const QString &phone, const QString &code, HttpCallback callback)
{
    QJsonObject body;
    body.insert(QStringLiteral("username"), username);
    body.insert(QStringLiteral("phone"), phone);
    body.insert(QStringLiteral("code"), code);
    HttpClient::instance()->send("POST", QStringLiteral("/api/login/code"), body, std::move(callback));
}

} // namespace Api
