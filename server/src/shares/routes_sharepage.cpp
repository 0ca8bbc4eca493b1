// The recipient's side of share links, with no account: the page of a link (the code prompt when
// the link has a code, then the file or the folder), downloads of single files with ranges, and
// a folder as one zip. Every id a request names is resolved by walking up to the shared entry,
// so nothing outside it is reachable; a link that is cancelled, expired or whose entry is gone
// answers a page that says so and serves nothing else. A download that has already started when
// its link is cancelled runs to its end; every later request is refused.
#include "accounts/accountstore.h"
#include "core/servercontext.h"
#include "files/blobstore.h"
#include "files/filetree.h"
#include "files/zipstreamer.h"
#include "http/envelope.h"
#include "http/filedownload.h"
#include "http/rangeheader.h"
#include "shares/sharepage.h"
#include "shares/sharestore.h"

namespace tvr::server {

namespace {

// Any token is looked up as it is (bound): one that no link has gets the missing-link page.
const std::string Token = "/s/" + std::string(http::Router::Capture);
const char CookieName[] = "tvr_share";

// Wrong codes: a few per address, more per link (from every address together). Only wrong
// guesses count, and a right code never clears them, so one's own link cannot reset the count.
constexpr Throttle::Rule WrongCodesPerAddress{5, 15 * 60};
constexpr Throttle::Rule WrongCodesPerLink{20, 60 * 60};

struct Opened
{
    ShareLink link;
    FileEntry root;
};

QString addressKey(const http::Request &req)
{
    return QStringLiteral("share-code-address:") + QString::fromStdString(req.remoteAddress);
}

QString linkKey(const ShareLink &link)
{
    return QStringLiteral("share-code-link:%1").arg(link.id);
}

void gonePage(http::Response &res, int status, const QString &heading, const QString &text)
{
    SharePage::send(res, status, heading, SharePage::message(heading, text));
}

// The link of the path when it may serve; otherwise its page has been answered.
std::optional<Opened> openLink(ServerContext &ctx, const http::Request &req, http::Response &res)
{
    const auto link = ShareStore::byToken(ctx, QString::fromStdString(req.matches[1]));
    if (!link) {
        gonePage(res, 404, QStringLiteral("链接不存在"), QStringLiteral("该分享链接不存在，请检查链接是否完整。"));
        return std::nullopt;
    }
    switch (ShareStore::state(ctx, *link)) {
    case ShareStore::State::Cancelled:
        gonePage(res, 410, QStringLiteral("分享已取消"), QStringLiteral("分享者已取消此分享，链接不再可用。"));
        return std::nullopt;
    case ShareStore::State::Deleted:
        gonePage(res, 410, QStringLiteral("文件已删除"), QStringLiteral("分享的文件已被删除，链接不再可用。"));
        return std::nullopt;
    case ShareStore::State::Expired:
        gonePage(res, 410, QStringLiteral("分享已过期"), QStringLiteral("此分享链接已过期，请联系分享者重新分享。"));
        return std::nullopt;
    case ShareStore::State::Active:
        break;
    }
    const auto root = ShareStore::sharedRoot(ctx, *link);
    if (!root) {
        gonePage(res, 410, QStringLiteral("文件已删除"), QStringLiteral("分享的文件已被删除，链接不再可用。"));
        return std::nullopt;
    }
    return Opened{*link, *root};
}

bool codeProven(ServerContext &ctx, const http::Request &req, const ShareLink &link)
{
    if (link.code.isEmpty())
        return true;
    // Every "name=value" of every Cookie header; a browser may send several of one name.
    for (const auto &[name, value] : req.headers) {
        if (name != "cookie")
            continue;
        for (const QString &pair : QString::fromStdString(value).split(QLatin1Char(';'))) {
            const QString trimmed = pair.trimmed();
            const qsizetype eq = trimmed.indexOf(QLatin1Char('='));
            if (eq > 0 && trimmed.left(eq) == QLatin1String(CookieName) &&
                ShareStore::proofMatches(ctx, link, trimmed.mid(eq + 1)))
                return true;
        }
    }
    return false;
}

QString makerOf(ServerContext &ctx, const ShareLink &link)
{
    return AccountStore::displayName(ctx, link.userId);
}

void promptPage(ServerContext &ctx, http::Response &res, int status, const ShareLink &link, const QString &error)
{
    SharePage::send(res, status, QStringLiteral("输入提取码"),
                    SharePage::codePrompt(link.token, makerOf(ctx, link), error));
}

// The link when it may serve and its code (if any) has been proven by this browser.
std::optional<Opened> openProven(ServerContext &ctx, const http::Request &req, http::Response &res)
{
    auto opened = openLink(ctx, req, res);
    if (opened && !codeProven(ctx, req, opened->link)) {
        promptPage(ctx, res, 403, opened->link, QString());
        return std::nullopt;
    }
    return opened;
}

// The entry named by a query parameter (the shared entry when it is absent), inside the share.
std::optional<FileEntry> namedEntry(ServerContext &ctx, const http::Request &req, const Opened &opened,
                                    const char *param)
{
    const std::string text = req.param(param);
    if (text.empty())
        return opened.root;
    const auto id = parseId(QString::fromStdString(text));
    return id ? ShareStore::resolve(ctx, opened.link, opened.root, *id) : std::nullopt;
}

void notInShare(http::Response &res)
{
    gonePage(res, 404, QStringLiteral("文件不存在"), QStringLiteral("该文件不在此分享中，或已被删除。"));
}

QList<FileEntry> childrenOf(ServerContext &ctx, const Opened &opened, const FileEntry &folder)
{
    const FileSpace space = opened.link.teamId > 0 ? FileSpace::team(opened.link.teamId, opened.link.userId)
                                                   : FileSpace::personal(opened.link.userId);
    QList<FileEntry> children;
    for (const QJsonValue &value : FileTree::list(ctx, space, folder.id, QString())) {
        const QJsonObject o = value.toObject();
        FileEntry e;
        e.id = qint64(o.value(QStringLiteral("id")).toDouble());
        e.name = o.value(QStringLiteral("name")).toString();
        e.isFolder = o.value(QStringLiteral("type")).toString() == QLatin1String("folder");
        e.size = qint64(o.value(QStringLiteral("size")).toDouble());
        children.append(e);
    }
    return children;
}

void showPage(ServerContext &ctx, const http::Request &req, http::Response &res)
{
    const auto opened = openLink(ctx, req, res);
    if (!opened)
        return;
    if (!codeProven(ctx, req, opened->link))
        return promptPage(ctx, res, 200, opened->link, QString());
    // A visit is the link's own page being opened; browsing inside it is not counted again.
    if (req.method == "GET" && !req.hasParam("dir"))
        ShareStore::countView(ctx, opened->link.id);
    const QString maker = makerOf(ctx, opened->link);
    if (!opened->root.isFolder)
        return SharePage::send(res, 200, opened->root.name, SharePage::fileView(opened->link, opened->root, maker));
    const auto shown = namedEntry(ctx, req, *opened, "dir");
    if (!shown || !shown->isFolder)
        return notInShare(res);
    QList<FileEntry> trail{*shown};
    while (trail.first().id != opened->root.id) {
        const auto up = ShareStore::resolve(ctx, opened->link, opened->root, trail.first().parentId);
        if (!up)
            return notInShare(res);
        trail.prepend(*up);
    }
    SharePage::send(res, 200, opened->root.name,
                    SharePage::folderView(opened->link, trail, childrenOf(ctx, *opened, *shown), maker));
}

void takeCode(ServerContext &ctx, const http::Request &req, http::Response &res)
{
    const auto opened = openLink(ctx, req, res);
    if (!opened)
        return;
    const ShareLink &link = opened->link;
    const QString location = QStringLiteral("/s/") + link.token;
    if (link.code.isEmpty()) {
        SharePage::secure(res);
        res.status = 303;
        res.setHeader("Location", location.toStdString());
        return;
    }
    const qint64 now = ctx.clock.nowSecs();
    const QString byAddress = addressKey(req);
    const QString byLink = linkKey(link);
    const qint64 wait = qMax(ctx.throttle.retryAfter(byAddress, WrongCodesPerAddress, now),
                             ctx.throttle.retryAfter(byLink, WrongCodesPerLink, now));
    if (wait > 0) {
        res.setHeader("Retry-After", std::to_string(wait));
        return promptPage(ctx, res, 429, link,
                          QStringLiteral("尝试次数过多，请 %1 分钟后再试").arg(qMax<qint64>(1, (wait + 59) / 60)));
    }
    QString guess;
    for (const auto &[name, value] : http::parseUrlEncoded(req.body)) {
        if (name == "code")
            guess = QString::fromStdString(value);
    }
    if (!ShareStore::codeMatches(link, guess)) {
        ctx.throttle.record(byAddress, now);
        ctx.throttle.record(byLink, now);
        return promptPage(ctx, res, 403, link, QStringLiteral("提取码错误，请重新输入"));
    }
    SharePage::secure(res);
    res.status = 303;
    res.setHeader("Location", location.toStdString());
    QString cookie = QStringLiteral("%1=%2; Path=%3; HttpOnly; SameSite=Strict")
                         .arg(QLatin1String(CookieName), ShareStore::codeProof(ctx, link), location);
    if (ctx.config.tls())
        cookie += QStringLiteral("; Secure");
    res.setHeader("Set-Cookie", cookie.toStdString());
}

bool downloadAllowed(const Opened &opened, http::Response &res)
{
    if (opened.link.allowDownload)
        return true;
    gonePage(res, 403, QStringLiteral("不允许下载"), QStringLiteral("分享者未开放下载，仅可查看。"));
    return false;
}

void downloadFile(ServerContext &ctx, const http::Request &req, http::Response &res)
{
    const auto opened = openProven(ctx, req, res);
    if (!opened || !downloadAllowed(*opened, res))
        return;
    const auto entry = namedEntry(ctx, req, *opened, "id");
    if (!entry)
        return notInShare(res);
    if (entry->isFolder)
        return gonePage(res, 400, QStringLiteral("无法下载"), QStringLiteral("文件夹请使用「打包下载」。"));
    // A download is counted once however it is resumed: when it asks for the start of the file.
    const RangeHeader range = RangeHeader::parse(QByteArray::fromStdString(req.header("Range")), entry->size);
    if (req.method == "GET" &&
        (range.kind == RangeHeader::Kind::None || (range.kind == RangeHeader::Kind::Partial && range.first == 0)))
        ShareStore::countDownload(ctx, opened->link.id);
    SharePage::secure(res);
    FileDownload::serve(req, res, ctx.blobs->pathFor(entry->blobHash), entry->name, entry->mimeType, entry->blobHash);
}

void downloadZip(ServerContext &ctx, const http::Request &req, http::Response &res)
{
    const auto opened = openProven(ctx, req, res);
    if (!opened || !downloadAllowed(*opened, res))
        return;
    const auto folder = namedEntry(ctx, req, *opened, "dir");
    if (!folder || !folder->isFolder)
        return notInShare(res);
    if (req.method == "GET")
        ShareStore::countDownload(ctx, opened->link.id);
    auto zip = std::make_shared<ZipStreamer>(*ctx.blobs, ZipStreamer::plan(ctx, {*folder}));
    SharePage::secure(res);
    res.status = 200;
    res.setHeader("Content-Disposition",
                  FileDownload::contentDisposition(folder->name + QStringLiteral(".zip")).toStdString());
    // A stored content that cannot be read cuts the connection: a truncated archive is never
    // taken for a whole one.
    res.setProducer(-1, "application/zip", [zip](quint64, char *buffer, size_t max) { return zip->read(buffer, max); });
}

} // namespace

void registerSharePageRoutes(http::Router &router, ServerContext &ctx)
{
    router.get("/s/assets/share.css", [](const http::Request &, http::Response &res) {
        SharePage::secure(res);
        res.setHeader("Cache-Control", "public, max-age=3600");
        res.setContent(SharePage::styleSheet(), "text/css; charset=utf-8");
    });
    router.get(Token, [&ctx](const http::Request &req, http::Response &res) { showPage(ctx, req, res); });
    // A code is four characters; the form sends little more.
    router.post(
        Token, [&ctx](const http::Request &req, http::Response &res) { takeCode(ctx, req, res); }, 4096);
    router.get(Token + "/download",
               [&ctx](const http::Request &req, http::Response &res) { downloadFile(ctx, req, res); });
    router.get(Token + "/zip", [&ctx](const http::Request &req, http::Response &res) { downloadZip(ctx, req, res); });
}

} // namespace tvr::server
