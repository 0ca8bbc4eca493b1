// StreamReply reading whatever a hostile server answers, over a real loopback socket: the reply
// ends exactly once, a body it calls whole is never more than the server sent, and a body it
// calls whole with a stated length is exactly that long. Readers take the body in small pieces
// and, for every other input, with a bounded buffer, as the downloads do.
#include "fuzzcheck.h"

#include "net/streamreply.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkRequest>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
QCoreApplication &app()
{
    static int argc = 1;
    static char name[] = "fuzz_stream_reply";
    static char *argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}
} // namespace

TVR_FUZZ_ENTRY
{
    app();
    static QTcpServer server;
    static const bool listening = server.listen(QHostAddress::LocalHost, 0);
    TVR_FUZZ_CHECK(listening);
    const QByteArray answer(reinterpret_cast<const char *>(data), qsizetype(size));

    // The server reads the request's head first (closing with it unread would reset the
    // connection and drop the answer), then sends the input and closes.
    const QMetaObject::Connection accepted = QObject::connect(&server, &QTcpServer::newConnection, [&answer] {
        while (QTcpSocket *peer = server.nextPendingConnection()) {
            QObject::connect(peer, &QTcpSocket::disconnected, peer, &QObject::deleteLater);
            auto request = std::make_shared<QByteArray>();
            QObject::connect(peer, &QTcpSocket::readyRead, peer, [peer, request, answer] {
                const bool before = request->contains("\r\n\r\n");
                *request += peer->readAll();
                if (!before && request->contains("\r\n\r\n")) {
                    peer->write(answer);
                    peer->disconnectFromHost();
                }
            });
        }
    });

    QEventLoop loop;
    StreamReply reply(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/f").arg(server.serverPort()))));
    if (size % 2 == 1)
        reply.setReadBufferSize(4096);
    QByteArray body;
    int finished = 0;
    QObject::connect(&reply, &QNetworkReply::readyRead, [&] { body += reply.read(1000); });
    QObject::connect(&reply, &QNetworkReply::finished, [&] {
        ++finished;
        loop.quit();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(5000);
    if (finished == 0)
        loop.exec();
    TVR_FUZZ_CHECK(finished == 1);
    // What is left is read after the end, as the downloads' drain does.
    for (int i = 0; i < 1000000 && reply.bytesAvailable() > 0; ++i)
        body += reply.read(4096);
    TVR_FUZZ_CHECK(body.size() <= answer.size());
    if (reply.error() == QNetworkReply::NoError) {
        const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        TVR_FUZZ_CHECK(status >= 200);
        // 204 and 304 have no body whatever length they state.
        const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && status != 204 && status != 304)
            TVR_FUZZ_CHECK(body.size() == length.toLongLong());
    }
    reply.abort();
    TVR_FUZZ_CHECK(finished == 1);
    QObject::disconnect(accepted);
    return 0;
}
