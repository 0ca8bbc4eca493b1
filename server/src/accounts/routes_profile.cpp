// The signed-in user's profile: read, edit, avatar.
#include "accounts/accountstore.h"
#include "core/names.h"
#include "core/servercontext.h"
#include "http/auth.h"
#include "http/envelope.h"
#include "storage/areas.h"
#include "storage/transaction.h"

namespace tvr::server {

namespace {

constexpr qsizetype AvatarMaxBytes = 2 * 1024 * 1024;
constexpr qint64 AvatarBodyLimit = 2 * AvatarMaxBytes; // the form around the image included
constexpr int NameMaxLength = 64;
constexpr int CompanyMaxLength = 100;

void updateProfile(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const QJsonObject current = AccountStore::profile(ctx, user.id);
    auto member = [&](const char *key, const char *alias, const char *profileKey) {
        QString k = QString::fromLatin1(key);
        if (!body->contains(k) && alias)
            k = QString::fromLatin1(alias);
        return body->contains(k) ? Names::normalized(jsonString(*body, k))
                                 : current.value(QString::fromLatin1(profileKey)).toString();
    };
    const QString name = member("name", nullptr, "name");
    const QString phone = member("phone", nullptr, "phone");
    const QString company = member("companyName", "company_name", "company_name");
    const QString username = member("username", nullptr, "username");

    if (name.isEmpty())
        return fail(res, 400, QStringLiteral("姓名不能为空"));
    if (name.size() > NameMaxLength)
        return fail(res, 400, QStringLiteral("姓名不能超过 %1 个字符").arg(NameMaxLength));
    if (!phone.isEmpty() && !AccountStore::validPhone(phone))
        return fail(res, 400, QStringLiteral("手机号格式不正确"));
    if (company.size() > CompanyMaxLength)
        return fail(res, 400, QStringLiteral("公司名称不能超过 %1 个字符").arg(CompanyMaxLength));
    if (Names::hasDeceptiveCharacters(name) || Names::hasControlCharacters(name) ||
        Names::hasDeceptiveCharacters(company) || Names::hasControlCharacters(company))
        return fail(res, 400, QStringLiteral("名称中含有不允许的字符"));
    if (!AccountStore::validUsername(username))
        return fail(res, 400, QStringLiteral("用户名长度需在 2-32 个字符"));

    Transaction tx(ctx.db);
    const auto nameOwner = AccountStore::userIdByName(ctx, username);
    if (nameOwner && *nameOwner != user.id)
        return fail(res, 409, QStringLiteral("用户名已被占用"));
    // A number typed in here is only a claim until an SMS code proves it: it is refused when
    // another account has proven it, and it never keeps that number's owner out (sign-in drops
    // the claim once someone proves the number).
    const auto phoneOwner = AccountStore::userIdByPhone(ctx, phone);
    if (phoneOwner && *phoneOwner != user.id)
        return fail(res, 409, QStringLiteral("该手机号已被其他账号使用"));
    const bool samePhone = AccountStore::hasPhone(ctx, user.id, phone);
    ctx.db.exec("UPDATE users SET name = ?2, phone = ?3, company_name = ?4, username = ?5, updated_at = ?6, "
                "phone_verified = CASE WHEN ?7 = 1 THEN phone_verified ELSE 0 END WHERE id = ?1",
                {user.id, name, phone, company, username, ctx.clock.nowText(), samePhone || phone.isEmpty()});
    if (!tx.commit())
        return fail(res, 500, QStringLiteral("保存失败，请稍后重试"));
    ok(res, AccountStore::profile(ctx, user.id));
}

QString imageType(const QByteArray &data)
{
    if (data.startsWith(QByteArray("\x89PNG\r\n\x1a\n", 8)))
        return QStringLiteral("image/png");
    if (data.size() > 3 && data.startsWith(QByteArray("\xff\xd8\xff", 3)))
        return QStringLiteral("image/jpeg");
    return QString();
}

void uploadAvatar(ServerContext &ctx, const http::Request &req, http::Response &res, http::BodyReader &reader,
                  const AuthUser &user)
{
    if (!req.isMultipart())
        return fail(res, 400, QStringLiteral("请以表单方式上传头像"));
    QByteArray image;
    bool inAvatar = false;
    bool found = false;
    bool tooLarge = false;
    const bool read = reader.readMultipart(
        req,
        [&](const http::Part &part) {
            inAvatar = part.name == "avatar" && !found;
            found = found || inAvatar;
            return true;
        },
        [&](const char *data, size_t length) {
            if (!inAvatar)
                return true;
            if (image.size() + qsizetype(length) > AvatarMaxBytes) {
                tooLarge = true;
                return false; // stop reading: nothing more of it is wanted
            }
            image.append(data, qsizetype(length));
            return true;
        });
    if (tooLarge)
        return fail(res, 413, QStringLiteral("头像图片不能超过 2MB"));
    if (!read)
        return fail(res, 400, Msg::BadRequest);
    if (!found || image.isEmpty())
        return fail(res, 400, QStringLiteral("请选择头像图片"));
    const QString type = imageType(image);
    if (type.isEmpty())
        return fail(res, 415, QStringLiteral("头像只支持 PNG 或 JPG 图片"));
    const QString url = QStringLiteral("data:%1;base64,%2").arg(type, QString::fromLatin1(image.toBase64()));
    if (!ctx.db.exec("UPDATE users SET avatar = ?2, updated_at = ?3 WHERE id = ?1",
                     {user.id, url, ctx.clock.nowText()}))
        return fail(res, 500, QStringLiteral("保存头像失败"));
    ok(res, QJsonObject{{QStringLiteral("avatar_url"), url}});
}

void registerProfileRoutes(http::Router &router, ServerContext &ctx)
{
    router.get("/api/profile", withUser(ctx, [&ctx](const http::Request &, http::Response &res, const AuthUser &user) {
                   ok(res, AccountStore::profile(ctx, user.id));
               }));
    router.put("/api/profile", withUser(ctx, [&ctx](const http::Request &req, http::Response &res,
                                                    const AuthUser &user) { updateProfile(ctx, req, res, user); }));
    router.postStream("/api/profile/avatar",
                      withUser(ctx, [&ctx](const http::Request &req, http::Response &res, http::BodyReader &reader,
                                           const AuthUser &user) { uploadAvatar(ctx, req, res, reader, user); }),
                      AvatarBodyLimit);
}

} // namespace

Area profileArea()
{
    Area area{"profile", {}};
    area.registerRoutes = registerProfileRoutes;
    return area;
}

} // namespace tvr::server
