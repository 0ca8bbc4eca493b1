#pragma once

#include "files/fileentry.h"
#include "http/httpmessage.h"
#include "http/router.h"

#include <QList>
#include <QString>
#include <utility>

namespace tvr::server {

struct ServerContext;
struct ShareLink;

// The HTML a recipient sees under /s/<token>, made from the templates in shares/templates.
// Every text that comes from the server's data goes through escape(); the pages carry no script
// and fetch nothing but their own style sheet.
class SharePage final
{
public:
    // The headers of every answer under /s/: no framing, no sniffing, no referrer, no script.
    static void secure(http::Response &res);
    // A whole page (the layout around `content`) with the given status.
    static void send(http::Response &res, int status, const QString &title, const QString &content);

    static QString codePrompt(const QString &token, const QString &maker, const QString &error);
    static QString fileView(const ShareLink &link, const FileEntry &file, const QString &maker);
    // `trail` runs from the shared root to the folder shown (both included).
    static QString folderView(const ShareLink &link, const QList<FileEntry> &trail, const QList<FileEntry> &children,
                              const QString &maker);
    static QString message(const QString &heading, const QString &text);

    static QString escape(const QString &text);
    static QString sizeText(qint64 bytes);
    // "永久有效" or "有效期至 …（北京时间）".
    static QString expiryText(const QString &expiresAt);
    // `text` with each {{key}} replaced once, in one pass (replacements are never scanned again).
    static QString fill(const QString &text, const QList<std::pair<QString, QString>> &values);

    static const char *styleSheet();
};

// GET/POST /s/<token>, its downloads and its style sheet.
void registerSharePageRoutes(http::Router &router, ServerContext &ctx);

} // namespace tvr::server
