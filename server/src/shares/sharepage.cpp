#include "shares/sharepage.h"

#include "shares/sharestore.h"
#include "shares/sharetemplates.h"

#include <QDateTime>
#include <QTimeZone>

namespace tvr::server {

namespace {

const char FolderIcon[] = R"(<span class="icon" aria-hidden="true"><svg viewBox="0 0 24 24" width="22" height="22">)"
                          R"(<path fill="#C9A84C" d="M3 5a2 2 0 0 1 2-2h4.6l2 2H19a2 2 0 0 1 2 2v11a2 2 0 0 1-2 )"
                          R"(2H5a2 2 0 0 1-2-2z"/></svg></span>)";
const char FileIcon[] = R"(<span class="icon" aria-hidden="true"><svg viewBox="0 0 24 24" width="22" height="22">)"
                        R"(<path fill="#1677ff" d="M6 2h8l6 6v12a2 2 0 0 1-2 2H6a2 2 0 0 1-2-2V4a2 2 0 0 1 2-2z"/>)"
                        R"(</svg></span>)";

QString base(const ShareLink &link)
{
    return QStringLiteral("/s/") + link.token;
}

} // namespace

void SharePage::secure(http::Response &res)
{
    res.setHeader("Content-Security-Policy", "default-src 'none'; style-src 'self'; img-src 'self' data:; "
                                             "form-action 'self'; frame-ancestors 'none'; base-uri 'none'");
    res.setHeader("X-Frame-Options", "DENY");
    res.setHeader("X-Content-Type-Options", "nosniff");
    res.setHeader("Referrer-Policy", "no-referrer");
    res.setHeader("Cache-Control", "no-store");
}

void SharePage::send(http::Response &res, int status, const QString &title, const QString &content)
{
    secure(res);
    res.status = status;
    const QString page = fill(QString::fromUtf8(sharetemplates::layout_html),
                              {{QStringLiteral("title"), escape(title)}, {QStringLiteral("content"), content}});
    res.setContent(page.toStdString(), "text/html; charset=utf-8");
}

QString SharePage::codePrompt(const QString &token, const QString &maker, const QString &error)
{
    const QString errorHtml =
        error.isEmpty() ? QString() : QStringLiteral("<p class=\"error\" role=\"alert\">%1</p>").arg(escape(error));
    return fill(QString::fromUtf8(sharetemplates::code_html), {{QStringLiteral("token"), escape(token)},
                                                               {QStringLiteral("maker"), escape(maker)},
                                                               {QStringLiteral("error"), errorHtml}});
}

QString SharePage::fileView(const ShareLink &link, const FileEntry &file, const QString &maker)
{
    const QString actions = link.allowDownload
                                ? QStringLiteral("<a class=\"btn primary wide\" href=\"%1/download?id=%2\">下载</a>")
                                      .arg(base(link))
                                      .arg(file.id)
                                : QStringLiteral("<p class=\"notice\">分享者未开放下载，仅可查看文件信息。</p>");
    return fill(QString::fromUtf8(sharetemplates::file_html), {{QStringLiteral("name"), escape(file.name)},
                                                               {QStringLiteral("size"), sizeText(file.size)},
                                                               {QStringLiteral("expiry"), expiryText(link.expiresAt)},
                                                               {QStringLiteral("maker"), escape(maker)},
                                                               {QStringLiteral("actions"), actions}});
}

QString SharePage::folderView(const ShareLink &link, const QList<FileEntry> &trail, const QList<FileEntry> &children,
                              const QString &maker)
{
    const FileEntry &here = trail.last();
    QString crumbs;
    for (qsizetype i = 0; i < trail.size(); ++i) {
        if (i > 0)
            crumbs += QStringLiteral("<span class=\"sep\">/</span>");
        if (i + 1 == trail.size())
            crumbs += QStringLiteral("<span class=\"here\">%1</span>").arg(escape(trail[i].name));
        else if (i == 0)
            crumbs += QStringLiteral("<a href=\"%1\">%2</a>").arg(base(link), escape(trail[i].name));
        else
            crumbs += QStringLiteral("<a href=\"%1?dir=%2\">%3</a>")
                          .arg(base(link))
                          .arg(trail[i].id)
                          .arg(escape(trail[i].name));
    }
    QString rows;
    int folders = 0;
    int files = 0;
    for (const FileEntry &child : children) {
        if (child.isFolder) {
            ++folders;
            rows +=
                QStringLiteral("<li class=\"row\"><a class=\"entry\" href=\"%1?dir=%2\">%3<span class=\"entry-name\">"
                               "%4</span></a><span class=\"size\">文件夹</span></li>\n")
                    .arg(base(link))
                    .arg(child.id)
                    .arg(QLatin1String(FolderIcon), escape(child.name));
            continue;
        }
        ++files;
        const QString download = link.allowDownload
                                     ? QStringLiteral("<a class=\"btn small\" href=\"%1/download?id=%2\">下载</a>")
                                           .arg(base(link))
                                           .arg(child.id)
                                     : QString();
        rows += QStringLiteral("<li class=\"row\"><span class=\"entry\">%1<span class=\"entry-name\">%2</span></span>"
                               "<span class=\"size\">%3</span>%4</li>\n")
                    .arg(QLatin1String(FileIcon), escape(child.name), sizeText(child.size), download);
    }
    if (children.isEmpty())
        rows = QStringLiteral("<li class=\"empty\">此文件夹为空</li>");
    const QString zip = link.allowDownload
                            ? QStringLiteral("<a class=\"btn primary\" href=\"%1/zip?dir=%2\">打包下载</a>")
                                  .arg(base(link))
                                  .arg(here.id)
                            : QStringLiteral("<span class=\"notice\">分享者未开放下载</span>");
    const QString summary = QStringLiteral("%1 个文件夹，%2 个文件").arg(folders).arg(files);
    return fill(QString::fromUtf8(sharetemplates::folder_html), {{QStringLiteral("name"), escape(trail.first().name)},
                                                                 {QStringLiteral("summary"), summary},
                                                                 {QStringLiteral("expiry"), expiryText(link.expiresAt)},
                                                                 {QStringLiteral("maker"), escape(maker)},
                                                                 {QStringLiteral("crumbs"), crumbs},
                                                                 {QStringLiteral("zip"), zip},
                                                                 {QStringLiteral("rows"), rows}});
}

QString SharePage::message(const QString &heading, const QString &text)
{
    return fill(QString::fromUtf8(sharetemplates::message_html),
                {{QStringLiteral("heading"), escape(heading)}, {QStringLiteral("message"), escape(text)}});
}

QString SharePage::escape(const QString &text)
{
    QString out;
    out.reserve(text.size() + 16);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&':
            out += QLatin1String("&amp;");
            break;
        case '<':
            out += QLatin1String("&lt;");
            break;
        case '>':
            out += QLatin1String("&gt;");
            break;
        case '"':
            out += QLatin1String("&quot;");
            break;
        case '\'':
            out += QLatin1String("&#39;");
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString SharePage::sizeText(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    const char *units[] = {"KB", "MB", "GB", "TB"};
    double value = double(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString SharePage::expiryText(const QString &expiresAt)
{
    if (expiresAt.isEmpty())
        return QStringLiteral("永久有效");
    const QDateTime utc = QDateTime::fromString(expiresAt, Qt::ISODate);
    const QDateTime beijing = utc.toTimeZone(QTimeZone(8 * 3600));
    return QStringLiteral("有效期至 %1（北京时间）").arg(beijing.toString(QStringLiteral("yyyy-MM-dd HH:mm")));
}

QString SharePage::fill(const QString &text, const QList<std::pair<QString, QString>> &values)
{
    QString out;
    out.reserve(text.size() * 2);
    qsizetype at = 0;
    while (at < text.size()) {
        const qsizetype open = text.indexOf(QLatin1String("{{"), at);
        const qsizetype close = open < 0 ? -1 : text.indexOf(QLatin1String("}}"), open + 2);
        if (open < 0 || close < 0) {
            out += QStringView(text).mid(at);
            break;
        }
        out += QStringView(text).mid(at, open - at);
        const QString key = text.mid(open + 2, close - open - 2);
        bool found = false;
        for (const auto &[name, value] : values) {
            if (name == key) {
                out += value;
                found = true;
                break;
            }
        }
        if (!found)
            out += QStringView(text).mid(open, close + 2 - open);
        at = close + 2;
    }
    return out;
}

const char *SharePage::styleSheet()
{
    return sharetemplates::share_css;
}

} // namespace tvr::server
