#pragma once

#include "net/httpresponse.h"

#include <QString>

// Sign-in requests. Each builds its JSON body in place and posts it through HttpClient.
namespace Api {

// The user-name check path, the name trimmed and percent-encoded as UTF-8.
QString checkUsernamePath(const QString &username);
void verifyIdentity(const QString &username, const QString &phone, HttpCallback callback);
// scenario is "login" for a known user name and "register" for a new one.
void sendSms(const QString &phone, const QString &scenario, HttpCallback callback);
void loginWithCode(const QString &username, const QString &phone, const QString &code, HttpCallback callback);

} // namespace Api
