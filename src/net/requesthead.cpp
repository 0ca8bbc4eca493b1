#include "net/requesthead.h"

#include <QNetworkRequest>
#include <QUrl>
#include <algorithm>

namespace RequestHead {

QByteArray start(const QByteArray &verb, const QUrl &url, bool absoluteForm)
{
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    const QString hostName = url.host(QUrl::FullyEncoded);
    QByteArray host = hostName.contains(QLatin1Char(':')) ? '[' + hostName.toLatin1() + ']' : hostName.toLatin1();
    if (url.port() != -1)
        host += ':' + QByteArray::number(url.port());
    if (absoluteForm)
        target = "http://" + host + target;
    return verb + ' ' + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
}

QByteArray headersOf(const QNetworkRequest &request)
{
    static const QByteArray managed[] = {"host",   "content-length", "connection", "transfer-encoding",
                                         "expect", "accept-encoding"};
    QByteArray lines;
    for (const QByteArray &name : request.rawHeaderList()) {
        const QByteArray lower = name.toLower();
        if (std::find(std::begin(managed), std::end(managed), lower) == std::end(managed))
            lines += name + ": " + request.rawHeader(name) + "\r\n";
    }
    return lines;
}

} // namespace RequestHead
