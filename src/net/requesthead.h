#pragma once

#include <QByteArray>

class QNetworkRequest;
class QUrl;

// The head of an HTTP/1.1 request, for the connections that write their own (HttpConnection for
// chunk uploads, StreamReply for downloads).
namespace RequestHead {

// "VERB target HTTP/1.1\r\nHost: host\r\n". absoluteForm: the whole URL as the target, as an HTTP
// proxy is asked for it.
QByteArray start(const QByteArray &verb, const QUrl &url, bool absoluteForm = false);
// The request's own headers as lines, less those the connection sets itself (Host, the body's
// framing, Connection, Expect) and Accept-Encoding: neither connection undoes a compression.
QByteArray headersOf(const QNetworkRequest &request);

} // namespace RequestHead
