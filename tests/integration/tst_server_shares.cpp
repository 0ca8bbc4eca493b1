// Share links on the reference server: the maker's routes follow their contract, and the
// recipient's page under /s/<token> serves exactly the shared entry, behind its code, while the
// link lives, with headers that keep the page from being framed, sniffed or scripted.
#include "rawhttp.h"
#include "referenceserver.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

using Creds = ReferenceServer::Credentials;
using Reply = ReferenceServer::Reply;
using Headers = QList<std::pair<QByteArray, QByteArray>>;

namespace {

qint64 idOf(const QJsonValue &record)
{
    return qint64(record.toObject().value("id").toDouble());
}

QByteArray filler(qsizetype size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(seed + (i * 7 + i / 251) % 61);
    return bytes;
}

// The security headers every answer under /s/ must carry.
QString missingSecurityHeader(const Reply &reply)
{
    const QByteArray csp = reply.header("Content-Security-Policy");
    for (const char *part : {"default-src 'none'", "style-src 'self'", "img-src 'self' data:", "form-action 'self'",
                             "frame-ancestors 'none'"}) {
        if (!csp.contains(part))
            return QStringLiteral("CSP lacks %1 (%2)").arg(QLatin1String(part), QString::fromLatin1(csp));
    }
    if (reply.header("X-Frame-Options") != "DENY")
        return QStringLiteral("X-Frame-Options");
    if (reply.header("X-Content-Type-Options") != "nosniff")
        return QStringLiteral("X-Content-Type-Options");
    if (reply.header("Referrer-Policy") != "no-referrer")
        return QStringLiteral("Referrer-Policy");
    return {};
}

} // namespace

class TestServerShares final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void createAndListFollowTheContract();
    void createRefusesBadRequestsTrashAndOtherUsersFiles();
    void cancelCountsOnlyTheMakersOwnLinks();
    void filePageDownloadsWithRangesAndCountsVisits();
    void everyPageCarriesTheSecurityHeaders();
    void namesAreEscapedInThePage();
    void codeIsProvenByAHttpOnlyCookieOfThatLinkOnly();
    void wrongCodesAreThrottledPerAddressThenPerLink();
    void nothingOutsideTheSharedFolderIsReachable();
    void expiredCancelledAndDeletedLinksAreRefused();
    void cancelLetsARunningDownloadFinishButRefusesNewOnes();
    void teamMembersShareTeamFilesWhileTheyBelong();
    void publicUrlOptionBeginsTheLinks();

private:
    qint64 upload(const Creds &as, const QString &name, const QByteArray &content, qint64 parent = 0);
    qint64 folder(const Creds &as, const QString &name, qint64 parent = 0);
    Reply share(const Creds &as, qint64 fileId, int validDays = 7, bool withCode = false, bool allowDownload = true,
                qint64 teamId = 0);
    QJsonObject listed(const Creds &as, qint64 shareId);
    Reply page(const QString &path, const QByteArray &cookie = {});
    // The code form sent from a chosen loopback address.
    RawHttp::Reply postCode(const QString &token, const QString &code, const QString &from = QString());

    std::unique_ptr<ReferenceServer> m_server;
    Creds m_alice;
    Creds m_bob;
};

void TestServerShares::initTestCase()
{
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    m_alice = m_server->signIn("sharealice", "13900000201");
    m_bob = m_server->signIn("sharebob", "13900000202");
    QVERIFY(m_alice.isValid() && m_bob.isValid());
}

qint64 TestServerShares::upload(const Creds &as, const QString &name, const QByteArray &content, qint64 parent)
{
    QList<ReferenceServer::Part> parts;
    if (parent > 0)
        parts.append({"parent_id", {}, {}, QByteArray::number(parent)});
    parts.append({"files", name.toUtf8(), "application/octet-stream", content});
    const Reply reply = m_server->multipart("/api/files/upload", parts, as);
    return reply.success() ? idOf(reply.dataArray().first()) : 0;
}

qint64 TestServerShares::folder(const Creds &as, const QString &name, qint64 parent)
{
    QJsonObject body{{"name", name}};
    if (parent > 0)
        body.insert("parent_id", QString::number(parent));
    const Reply reply = m_server->postJson("/api/folders", body, as);
    return reply.success() ? idOf(reply.data()) : 0;
}

Reply TestServerShares::share(const Creds &as, qint64 fileId, int validDays, bool withCode, bool allowDownload,
                              qint64 teamId)
{
    QJsonObject body{
        {"fileId", fileId}, {"validDays", validDays}, {"withCode", withCode}, {"allowDownload", allowDownload}};
    if (teamId > 0)
        body.insert("teamId", teamId);
    return m_server->postJson("/api/shares", body, as);
}

QJsonObject TestServerShares::listed(const Creds &as, qint64 shareId)
{
    for (const QJsonValue &v : m_server->get("/api/shares", as).dataArray()) {
        if (idOf(v) == shareId)
            return v.toObject();
    }
    return {};
}

Reply TestServerShares::page(const QString &path, const QByteArray &cookie)
{
    Headers headers;
    if (!cookie.isEmpty())
        headers.append({"Cookie", cookie});
    return m_server->request("GET", path, {}, {}, {}, headers);
}

RawHttp::Reply TestServerShares::postCode(const QString &token, const QString &code, const QString &from)
{
    RawHttp http(m_server->baseUrl(), from);
    if (!http.open())
        return {};
    const QByteArray body = "code=" + QUrl::toPercentEncoding(code);
    http.send(http.head("POST", "/s/" + token.toLatin1(),
                        {{"Content-Type", "application/x-www-form-urlencoded"},
                         {"Content-Length", QByteArray::number(body.size())},
                         {"Connection", "close"}}) +
              body);
    return http.read();
}

void TestServerShares::createAndListFollowTheContract()
{
    const QByteArray content = filler(3000, 'a');
    const qint64 file = upload(m_alice, "合同.pdf", content);
    const qint64 dir = folder(m_alice, "项目资料");
    QVERIFY(file > 0 && dir > 0);

    const Reply first = share(m_alice, file, 7, true, true);
    QVERIFY2(first.success(), qPrintable(first.message()));
    const QJsonObject made = first.dataObject();
    const QString token = made.value("token").toString();
    QVERIFY2(QRegularExpression("^[A-Za-z0-9_-]{22,}$").match(token).hasMatch(), qPrintable(token));
    QCOMPARE(made.value("url").toString(), m_server->baseUrl() + "/s/" + token);
    QVERIFY2(
        QRegularExpression("^[abcdefghjkmnpqrstuvwxyz23456789]{4}$").match(made.value("code").toString()).hasMatch(),
        qPrintable(made.value("code").toString()));
    QCOMPARE(made.value("name").toString(), QStringLiteral("合同.pdf"));
    QCOMPARE(made.value("isFolder").toBool(true), false);
    QCOMPARE(made.value("allowDownload").toBool(false), true);
    const QDateTime created = QDateTime::fromString(made.value("createdAt").toString(), Qt::ISODate);
    const QDateTime expires = QDateTime::fromString(made.value("expiresAt").toString(), Qt::ISODate);
    QVERIFY(made.value("createdAt").toString().endsWith('Z') && created.isValid());
    QCOMPARE(created.secsTo(expires), qint64(7 * 24 * 3600));

    const Reply permanent = share(m_alice, dir, 0, false, false);
    QVERIFY(permanent.success());
    QVERIFY(permanent.dataObject().value("expiresAt").isNull());
    QCOMPARE(permanent.dataObject().value("code").toString(), QString());
    QCOMPARE(permanent.dataObject().value("isFolder").toBool(), true);
    QVERIFY(permanent.dataObject().value("token").toString() != token);

    // Newest first, every member present, and the maker alone sees them.
    const QJsonArray list = m_server->get("/api/shares", m_alice).dataArray();
    QVERIFY(list.size() >= 2);
    QCOMPARE(idOf(list.at(0)), idOf(permanent.data()));
    QCOMPARE(idOf(list.at(1)), idOf(first.data()));
    const QJsonObject row = list.at(1).toObject();
    for (const char *key : {"id", "token", "url", "code", "fileId", "teamId", "name", "isFolder", "size", "createdAt",
                            "expiresAt", "views", "downloads", "allowDownload", "state"})
        QVERIFY2(row.contains(QLatin1String(key)), key);
    QCOMPARE(qint64(row.value("fileId").toDouble()), file);
    QVERIFY(row.value("teamId").isNull());
    QCOMPARE(qint64(row.value("size").toDouble()), qint64(content.size()));
    QCOMPARE(row.value("state").toString(), QStringLiteral("active"));
    QCOMPARE(row.value("views").toInt(-1), 0);
    for (const QJsonValue &v : m_server->get("/api/shares", m_bob).dataArray())
        QVERIFY(idOf(v) != idOf(first.data()));
}

void TestServerShares::createRefusesBadRequestsTrashAndOtherUsersFiles()
{
    const qint64 file = upload(m_alice, "refuse.txt", "x");
    QVERIFY(file > 0);
    QCOMPARE(m_server
                 ->postJson("/api/shares",
                            {{"fileId", file}, {"validDays", 7}, {"withCode", false}, {"allowDownload", true}})
                 .status,
             401);
    for (const int days : {2, -1, 365})
        QCOMPARE(share(m_alice, file, days).status, 400);
    QCOMPARE(m_server
                 ->postJson("/api/shares",
                            {{"fileId", "junk"}, {"validDays", 1}, {"withCode", false}, {"allowDownload", true}},
                            m_alice)
                 .status,
             400);
    QCOMPARE(m_server->postJson("/api/shares", {{"fileId", file}, {"validDays", 1}}, m_alice).status, 400);
    // Someone else's file, an unknown id and a team the caller is not in are all "not found".
    QCOMPARE(share(m_bob, file).status, 404);
    QCOMPARE(share(m_alice, 987654).status, 404);
    QCOMPARE(share(m_alice, file, 7, false, true, 424242).status, 404);
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(file), m_alice).success());
    QCOMPARE(share(m_alice, file).status, 404);
}

void TestServerShares::cancelCountsOnlyTheMakersOwnLinks()
{
    const qint64 file = upload(m_alice, "cancel.txt", "cancel me");
    const qint64 a1 = idOf(share(m_alice, file).data());
    const qint64 a2 = idOf(share(m_alice, file).data());
    const qint64 bobFile = upload(m_bob, "bob.txt", "bob");
    const qint64 b1 = idOf(share(m_bob, bobFile).data());
    QVERIFY(a1 > 0 && a2 > 0 && b1 > 0);

    QCOMPARE(m_server->postJson("/api/shares/cancel", {{"ids", QJsonArray{b1}}}, m_alice).status, 404);
    QCOMPARE(m_server->postJson("/api/shares/cancel", {{"ids", QJsonArray{}}}, m_alice).status, 400);
    QJsonArray tooMany;
    for (int i = 0; i < 501; ++i)
        tooMany.append(a1);
    QCOMPARE(m_server->postJson("/api/shares/cancel", {{"ids", tooMany}}, m_alice).status, 400);
    QCOMPARE(m_server->postJson("/api/shares/cancel", {{"ids", QJsonArray{a1}}}).status, 401);

    const Reply mixed = m_server->postJson("/api/shares/cancel", {{"ids", QJsonArray{a1, b1, 999999}}}, m_alice);
    QVERIFY(mixed.success());
    QCOMPARE(mixed.dataObject().value("cancelled").toInt(-1), 1);
    QCOMPARE(listed(m_alice, a1).value("state").toString(), QStringLiteral("cancelled"));
    QCOMPARE(listed(m_alice, a2).value("state").toString(), QStringLiteral("active"));
    QCOMPARE(listed(m_bob, b1).value("state").toString(), QStringLiteral("active"));
    // Cancelling again counts nothing new.
    const Reply again = m_server->postJson("/api/shares/cancel", {{"ids", QJsonArray{a1, a2}}}, m_alice);
    QCOMPARE(again.dataObject().value("cancelled").toInt(-1), 1);
}

void TestServerShares::filePageDownloadsWithRangesAndCountsVisits()
{
    const QByteArray content = filler(100000, 'k');
    const qint64 file = upload(m_alice, "报告.bin", content);
    const QJsonObject made = share(m_alice, file).dataObject();
    const QString base = "/s/" + made.value("token").toString();

    const Reply shown = page(base);
    QCOMPARE(shown.status, 200);
    QVERIFY(shown.header("Content-Type").startsWith("text/html"));
    const QString html = QString::fromUtf8(shown.body);
    QVERIFY(html.contains("name=\"viewport\""));
    QVERIFY(html.contains(QStringLiteral("报告.bin")));
    QVERIFY(html.contains(QStringLiteral("下载")));
    QVERIFY(html.contains(QStringLiteral("97.7 KB")));
    QVERIFY(!html.contains("<script"));

    const Reply whole = page(QStringLiteral("%1/download?id=%2").arg(base).arg(file));
    QCOMPARE(whole.status, 200);
    QCOMPARE(whole.body, content);
    QVERIFY(whole.header("Content-Disposition").startsWith("attachment"));
    QCOMPARE(whole.header("Accept-Ranges"), QByteArray("bytes"));

    const Reply part = m_server->request("GET", base + "/download", {}, {}, {}, {{"Range", "bytes=1000-1999"}});
    QCOMPARE(part.status, 206);
    QCOMPARE(part.body, content.mid(1000, 1000));
    QCOMPARE(part.header("Content-Range"), QByteArray("bytes 1000-1999/100000"));
    const Reply past = m_server->request("GET", base + "/download", {}, {}, {}, {{"Range", "bytes=200000-"}});
    QCOMPARE(past.status, 416);
    QCOMPARE(past.header("Content-Range"), QByteArray("bytes */100000"));

    // One visit; the whole download counts, its resumed part does not.
    const QJsonObject row = listed(m_alice, idOf(made));
    QCOMPARE(row.value("views").toInt(-1), 1);
    QCOMPARE(row.value("downloads").toInt(-1), 1);

    // A view-only link shows the file and serves none of it.
    const QString viewOnly = "/s/" + share(m_alice, file, 7, false, false).dataObject().value("token").toString();
    const Reply viewPage = page(viewOnly);
    QCOMPARE(viewPage.status, 200);
    QVERIFY(!viewPage.body.contains("/download"));
    QCOMPARE(page(viewOnly + "/download").status, 403);
}

void TestServerShares::everyPageCarriesTheSecurityHeaders()
{
    const qint64 dir = folder(m_alice, "headers");
    const qint64 file = upload(m_alice, "h.txt", "headers", dir);
    const QString open = "/s/" + share(m_alice, dir).dataObject().value("token").toString();
    const QJsonObject coded = share(m_alice, file, 7, true).dataObject();
    const QString locked = "/s/" + coded.value("token").toString();
    const QString cancelled = "/s/" + share(m_alice, file).dataObject().value("token").toString();
    const qint64 cancelledId = idOf(m_server->get("/api/shares", m_alice).dataArray().first());
    QVERIFY(m_server->postJson("/api/shares/cancel", {{"ids", QJsonArray{cancelledId}}}, m_alice).success());

    const QList<std::pair<QString, int>> pages = {
        {open, 200},
        {QStringLiteral("%1?dir=%2").arg(open).arg(dir), 200},
        {QStringLiteral("%1/download?id=%2").arg(open).arg(file), 200},
        {QStringLiteral("%1/zip").arg(open), 200},
        {QStringLiteral("%1/download?id=999999").arg(open), 404},
        {locked, 200},
        {locked + "/download", 403},
        {cancelled, 410},
        {"/s/AAAAAAAAAAAAAAAAAAAAAAAA", 404},
        {"/s/assets/share.css", 200},
    };
    for (const auto &[path, status] : pages) {
        const Reply reply = page(path);
        QVERIFY2(reply.status == status, qPrintable(QStringLiteral("%1: %2").arg(path).arg(reply.status)));
        const QString missing = missingSecurityHeader(reply);
        QVERIFY2(missing.isEmpty(), qPrintable(path + ": " + missing));
    }
    const RawHttp::Reply wrong = postCode(coded.value("token").toString(), "0000");
    QCOMPARE(wrong.status, 403);
    QCOMPARE(wrong.header("X-Frame-Options"), QByteArray("DENY"));
    QVERIFY(wrong.header("Content-Security-Policy").contains("frame-ancestors 'none'"));
}

void TestServerShares::namesAreEscapedInThePage()
{
    const qint64 dir = folder(m_alice, "<b>\"folder&");
    const qint64 file = upload(m_alice, "<img src=x onerror=alert(1)>&'.txt", "boo", dir);
    QVERIFY(dir > 0 && file > 0);
    const QString escapedFile = "&lt;img src=x onerror=alert(1)&gt;&amp;&#39;.txt";
    const QString escapedFolder = "&lt;b&gt;&quot;folder&amp;";
    const QList<std::pair<qint64, QStringList>> pages = {{dir, {escapedFolder, escapedFile}}, {file, {escapedFile}}};
    for (const auto &[id, expected] : pages) {
        const Reply shown = page("/s/" + share(m_alice, id).dataObject().value("token").toString());
        QCOMPARE(shown.status, 200);
        const QString html = QString::fromUtf8(shown.body);
        QVERIFY2(!html.contains("<img") && !html.contains("<b>"), qPrintable(html));
        for (const QString &text : expected)
            QVERIFY2(html.contains(text), qPrintable(text));
    }
}

void TestServerShares::codeIsProvenByAHttpOnlyCookieOfThatLinkOnly()
{
    const QByteArray content = "behind a code";
    const qint64 file = upload(m_alice, "secret-plan.txt", content);
    const QJsonObject made = share(m_alice, file, 7, true).dataObject();
    const QJsonObject other = share(m_alice, file, 7, true).dataObject();
    const QString token = made.value("token").toString();
    const QString code = made.value("code").toString();

    const Reply prompt = page("/s/" + token);
    QCOMPARE(prompt.status, 200);
    QVERIFY(prompt.body.contains("<form method=\"post\" action=\"/s/" + token.toLatin1() + "\""));
    QVERIFY(!prompt.body.contains("secret-plan"));
    QCOMPARE(page("/s/" + token + "/download").status, 403);
    QCOMPARE(listed(m_alice, idOf(made)).value("views").toInt(-1), 0);

    const RawHttp::Reply wrong = postCode(token, code == "aaaa" ? "bbbb" : "aaaa");
    QCOMPARE(wrong.status, 403);
    QVERIFY(QString::fromUtf8(wrong.body).contains(QStringLiteral("提取码错误")));
    QVERIFY(wrong.header("Set-Cookie").isEmpty());

    // Upper case and spaces around the code are forgiven.
    const RawHttp::Reply right = postCode(token, " " + code.toUpper() + " ");
    QCOMPARE(right.status, 303);
    QCOMPARE(right.header("Location"), "/s/" + token.toLatin1());
    const QByteArray setCookie = right.header("Set-Cookie");
    QVERIFY2(setCookie.contains("HttpOnly") && setCookie.contains("SameSite=Strict") &&
                 setCookie.contains("Path=/s/" + token.toLatin1()),
             setCookie.constData());
    QVERIFY(!setCookie.contains(code.toLatin1()));
    const QByteArray cookie = setCookie.left(setCookie.indexOf(';'));

    const Reply opened = page("/s/" + token, cookie);
    QCOMPARE(opened.status, 200);
    QVERIFY(opened.body.contains("secret-plan.txt"));
    QCOMPARE(page("/s/" + token + "/download", cookie).body, content);
    // The proof of one link opens no other, nor does a forged one.
    QVERIFY(!page("/s/" + other.value("token").toString(), cookie).body.contains("secret-plan"));
    QCOMPARE(page("/s/" + other.value("token").toString() + "/download", cookie).status, 403);
    QCOMPARE(page("/s/" + token + "/download", "tvr_share=" + QByteArray(64, '0')).status, 403);
}

void TestServerShares::wrongCodesAreThrottledPerAddressThenPerLink()
{
    const qint64 file = upload(m_alice, "guarded.txt", "guarded");
    const QJsonObject made = share(m_alice, file, 30, true).dataObject();
    const QString token = made.value("token").toString();
    const QString code = made.value("code").toString();
    const QString wrong = code == "zzzz" ? "yyyy" : "zzzz";

    // Five wrong codes from one address: then even the right one is refused there, for a while...
    for (int i = 0; i < 5; ++i)
        QCOMPARE(postCode(token, wrong, "127.0.0.2").status, 403);
    const RawHttp::Reply blocked = postCode(token, code, "127.0.0.2");
    QCOMPARE(blocked.status, 429);
    QVERIFY(!blocked.header("Retry-After").isEmpty());
    QVERIFY(QString::fromUtf8(blocked.body).contains(QStringLiteral("尝试次数过多")));
    // ...while the recipient at another address still gets in.
    QCOMPARE(postCode(token, code, "127.0.0.3").status, 303);

    // Guesses spread over many addresses stop at the link's own limit (20 an hour), after which
    // no address gets in until the hour has passed.
    for (int a = 4; a < 7; ++a) {
        for (int i = 0; i < 5; ++i)
            QCOMPARE(postCode(token, wrong, QStringLiteral("127.0.0.%1").arg(a)).status, 403);
    }
    QCOMPARE(postCode(token, code, "127.0.0.8").status, 429);
    QVERIFY(m_server->advanceClock(3601, m_alice));
    QCOMPARE(postCode(token, code, "127.0.0.2").status, 303);
}

void TestServerShares::nothingOutsideTheSharedFolderIsReachable()
{
    const qint64 shared = folder(m_alice, "shared");
    const qint64 sub = folder(m_alice, "sub", shared);
    const QByteArray innerBytes = "inner content";
    const qint64 inner = upload(m_alice, "inner.txt", innerBytes, sub);
    const qint64 top = upload(m_alice, "top.txt", "top", shared);
    const qint64 sibling = folder(m_alice, "sibling");
    const qint64 secret = upload(m_alice, "secret.txt", "secret", sibling);
    const qint64 bobs = upload(m_bob, "bobs.txt", "bob's");
    QVERIFY(shared && sub && inner && top && sibling && secret && bobs);
    const QString base = "/s/" + share(m_alice, shared).dataObject().value("token").toString();

    const Reply root = page(base);
    QCOMPARE(root.status, 200);
    QVERIFY(root.body.contains("sub") && root.body.contains("top.txt") && !root.body.contains("secret"));
    const Reply inside = page(QStringLiteral("%1?dir=%2").arg(base).arg(sub));
    QCOMPARE(inside.status, 200);
    QVERIFY(inside.body.contains("inner.txt"));
    QCOMPARE(page(QStringLiteral("%1/download?id=%2").arg(base).arg(inner)).body, innerBytes);

    for (const QString &path :
         {QStringLiteral("%1/download?id=%2").arg(base).arg(secret),
          QStringLiteral("%1/download?id=%2").arg(base).arg(bobs), QStringLiteral("%1?dir=%2").arg(base).arg(sibling),
          QStringLiteral("%1/zip?dir=%2").arg(base).arg(sibling), QStringLiteral("%1?dir=0").arg(base),
          QStringLiteral("%1?dir=-1").arg(base), QStringLiteral("%1/download?id=%2").arg(base).arg(sub),
          QStringLiteral("%1/download?id=../%2").arg(base).arg(secret), base + "/../../api/files",
          base + "/download/../../../api/files", base + "%2F..%2F..%2Fapi%2Ffiles"}) {
        const Reply reply = page(path);
        QVERIFY2(reply.status >= 400, qPrintable(QStringLiteral("%1 answered %2").arg(path).arg(reply.status)));
        QVERIFY2(!reply.body.contains("secret") && !reply.body.contains("bob's"), qPrintable(path));
    }

    const Reply zip = page(base + "/zip");
    QCOMPARE(zip.status, 200);
    QVERIFY(zip.body.startsWith("PK"));
    QVERIFY(zip.body.contains("inner.txt") && zip.body.contains("top.txt") && !zip.body.contains("secret.txt"));

    // A subfolder moved to the trash is out of the share with everything in it.
    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(sub), m_alice).success());
    QCOMPARE(page(QStringLiteral("%1?dir=%2").arg(base).arg(sub)).status, 404);
    QCOMPARE(page(QStringLiteral("%1/download?id=%2").arg(base).arg(inner)).status, 404);

    // A file link serves that file and no other id.
    const QString fileLink = "/s/" + share(m_alice, top).dataObject().value("token").toString();
    QCOMPARE(page(QStringLiteral("%1/download?id=%2").arg(fileLink).arg(secret)).status, 404);
    QCOMPARE(page(fileLink + "/zip").status, 404);
}

void TestServerShares::expiredCancelledAndDeletedLinksAreRefused()
{
    const qint64 file = upload(m_alice, "life.txt", "life");
    const QJsonObject day = share(m_alice, file, 1).dataObject();
    const QJsonObject week = share(m_alice, file, 7).dataObject();
    const QJsonObject permanent = share(m_alice, file, 0).dataObject();
    const QJsonObject cancelled = share(m_alice, file, 30).dataObject();
    const QString dayPath = "/s/" + day.value("token").toString();
    QCOMPARE(page(dayPath).status, 200);

    QVERIFY(m_server->advanceClock(24 * 3600 + 1, m_alice));
    const Reply expired = page(dayPath);
    QCOMPARE(expired.status, 410);
    QVERIFY(QString::fromUtf8(expired.body).contains(QStringLiteral("已过期")));
    QCOMPARE(page(dayPath + "/download").status, 410);
    QCOMPARE(listed(m_alice, idOf(day)).value("state").toString(), QStringLiteral("expired"));
    QCOMPARE(page("/s/" + week.value("token").toString()).status, 200);
    QCOMPARE(page("/s/" + permanent.value("token").toString()).status, 200);

    QVERIFY(m_server->postJson("/api/shares/cancel", {{"ids", QJsonArray{idOf(cancelled)}}}, m_alice).success());
    const Reply gone = page("/s/" + cancelled.value("token").toString());
    QCOMPARE(gone.status, 410);
    QVERIFY(QString::fromUtf8(gone.body).contains(QStringLiteral("已取消")));

    QVERIFY(m_server->del(QStringLiteral("/api/files/%1").arg(file), m_alice).success());
    const Reply deleted = page("/s/" + permanent.value("token").toString());
    QCOMPARE(deleted.status, 410);
    QVERIFY(QString::fromUtf8(deleted.body).contains(QStringLiteral("已删除")));
    QCOMPARE(listed(m_alice, idOf(permanent)).value("state").toString(), QStringLiteral("deleted"));
    QCOMPARE(listed(m_alice, idOf(cancelled)).value("state").toString(), QStringLiteral("cancelled"));

    const Reply unknown = page("/s/ZZZZZZZZZZZZZZZZZZZZZZZZ");
    QCOMPARE(unknown.status, 404);
    QVERIFY(QString::fromUtf8(unknown.body).contains(QStringLiteral("链接不存在")));
}

void TestServerShares::cancelLetsARunningDownloadFinishButRefusesNewOnes()
{
    const QByteArray content = filler(6 * 1024 * 1024, 'c');
    const qint64 file = upload(m_alice, "big.bin", content);
    QVERIFY(file > 0);
    const QJsonObject made = share(m_alice, file).dataObject();
    const QByteArray path = "/s/" + made.value("token").toString().toLatin1() + "/download";

    // A reader that takes the answer slowly keeps the download running while the link goes.
    QTcpSocket socket;
    socket.setReadBufferSize(64 * 1024);
    const QUrl url(m_server->baseUrl());
    socket.connectToHost(url.host(), quint16(url.port()));
    QVERIFY(socket.waitForConnected(5000));
    socket.write("GET " + path + " HTTP/1.1\r\nHost: " + url.host().toLatin1() + "\r\nConnection: close\r\n\r\n");
    QVERIFY(socket.waitForReadyRead(10000));
    QByteArray received = socket.readAll();

    QVERIFY(m_server->postJson("/api/shares/cancel", {{"ids", QJsonArray{idOf(made)}}}, m_alice).success());
    QCOMPARE(page(QString::fromLatin1(path)).status, 410);

    while (socket.state() == QAbstractSocket::ConnectedState || socket.bytesAvailable() > 0) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(10000))
            break;
        received += socket.readAll();
    }
    const qsizetype headEnd = received.indexOf("\r\n\r\n");
    QVERIFY(headEnd > 0);
    QVERIFY(received.startsWith("HTTP/1.1 200"));
    const QByteArray body = received.mid(headEnd + 4);
    QCOMPARE(body.size(), content.size());
    QCOMPARE(QCryptographicHash::hash(body, QCryptographicHash::Sha256),
             QCryptographicHash::hash(content, QCryptographicHash::Sha256));
}

void TestServerShares::teamMembersShareTeamFilesWhileTheyBelong()
{
    const Creds carol = m_server->signIn("sharecarol", "13900000203");
    QVERIFY(carol.isValid());
    const qint64 team = idOf(m_server->postJson("/api/teams", {{"name", "分享团队"}}, m_alice).data());
    QVERIFY(team > 0);
    QVERIFY(m_server->postJson(QStringLiteral("/api/teams/%1/members").arg(team), {{"keyword", "sharecarol"}}, m_alice)
                .success());
    const Reply uploaded = m_server->multipart(QStringLiteral("/api/teams/%1/files/upload").arg(team),
                                               {{"files", "team-plan.txt", "text/plain", "team content"}}, carol);
    const qint64 teamFile = uploaded.success() ? idOf(uploaded.dataArray().first()) : 0;
    QVERIFY(teamFile > 0);

    // A member shares a team file by naming the team; without it the file is not the member's.
    QCOMPARE(share(carol, teamFile).status, 404);
    QCOMPARE(share(m_bob, teamFile, 7, false, true, team).status, 404);
    const Reply made = share(carol, teamFile, 7, false, true, team);
    QVERIFY2(made.success(), qPrintable(made.message()));
    const QString path = "/s/" + made.dataObject().value("token").toString();
    QCOMPARE(page(path + "/download").body, QByteArray("team content"));
    QCOMPARE(qint64(listed(carol, idOf(made.data())).value("teamId").toDouble()), team);
    // The link is the maker's: the team owner neither lists nor cancels it.
    QVERIFY(listed(m_alice, idOf(made.data())).isEmpty());
    QCOMPARE(m_server->postJson("/api/shares/cancel", {{"ids", QJsonArray{idOf(made.data())}}}, m_alice).status, 404);

    // A member who leaves the team stops sharing its files.
    QVERIFY(m_server->postJson(QStringLiteral("/api/teams/%1/leave").arg(team), {}, carol).success());
    QCOMPARE(page(path).status, 410);
    QCOMPARE(page(path + "/download").status, 410);
    QCOMPARE(listed(carol, idOf(made.data())).value("state").toString(), QStringLiteral("deleted"));
}

void TestServerShares::publicUrlOptionBeginsTheLinks()
{
    ReferenceServer::Options options;
    options.extraArgs = {"--public-url", "https://files.example.test/"};
    ReferenceServer server(options);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const Creds dave = server.signIn("sharedave", "13900000204");
    QList<ReferenceServer::Part> parts{{"files", "p.txt", "text/plain", "p"}};
    const qint64 file = idOf(server.multipart("/api/files/upload", parts, dave).dataArray().first());
    const Reply made = server.postJson(
        "/api/shares", {{"fileId", file}, {"validDays", 1}, {"withCode", false}, {"allowDownload", true}}, dave);
    QCOMPARE(made.dataObject().value("url").toString(),
             "https://files.example.test/s/" + made.dataObject().value("token").toString());
}

QTEST_GUILESS_MAIN(TestServerShares)
#include "tst_server_shares.moc"
