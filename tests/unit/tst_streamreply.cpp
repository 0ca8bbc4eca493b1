// StreamReply against real sockets on loopback: bodies framed every way arrive whole, broken and
// hostile answers fail instead of passing for a body, a bounded buffer holds the sender back, and
// abort, redirects and refused connections behave as the access manager's replies do, since the
// download code reads both alike.
#include "net/httpclient.h"
#include "net/streamreply.h"
#include "scriptedserver.h"

#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <memory>

Q_DECLARE_METATYPE(ScriptedReply)

namespace {
QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator{quint32(size)};
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

QByteArray chunked(const QByteArray &body, qsizetype piece)
{
    QByteArray wire;
    for (qsizetype at = 0; at < body.size(); at += piece) {
        const QByteArray part = body.mid(at, piece);
        wire += QByteArray::number(part.size(), 16) + ";ext=1\r\n" + part + "\r\n";
    }
    return wire + "0\r\nX-Trailer: yes\r\n\r\n";
}

// Reads everything the reply gives, as the download code does: on readyRead and at the end.
struct Reader
{
    explicit Reader(QNetworkReply *reply)
    {
        QObject::connect(reply, &QNetworkReply::readyRead, reply, [this, reply] { body += reply->readAll(); });
        QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply] {
            body += reply->readAll();
            ++finished;
        });
    }
    QByteArray body;
    int finished = 0;
};
} // namespace

class TestStreamReply : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void requestGoesOutAsAPlainGet();
    void bodiesFramedEveryWayArriveWhole_data();
    void bodiesFramedEveryWayArriveWhole();
    void brokenAnswersFailInsteadOfPassingForABody_data();
    void brokenAnswersFailInsteadOfPassingForABody();
    void boundedBufferHoldsTheSenderBack();
    void abortEndsAtOnceAndRedirectsAreNotFollowed();
    void refusedConnectionIsTheSameNetworkError();

private:
    QNetworkRequest request(const QString &path) const { return QNetworkRequest(QUrl(m_server->baseUrl() + path)); }

    std::unique_ptr<ScriptedServer> m_server;
};

void TestStreamReply::init()
{
    m_server = std::make_unique<ScriptedServer>();
    QVERIFY(m_server->listen());
}

void TestStreamReply::requestGoesOutAsAPlainGet()
{
    m_server->on("GET", "/file", ScriptedReply::text(200, "x"));
    QNetworkRequest r = request("/file?name=%E6%96%87");
    r.setRawHeader("X-Auth-Token", "secret");
    r.setRawHeader("Range", "bytes=5-");
    r.setRawHeader("Accept-Encoding", "gzip"); // never asked for: the body is written as it comes
    QVERIFY(StreamReply::canCarry(r.url()));
    StreamReply reply(r);
    QSignalSpy finished(&reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    const QList<RecordedRequest> sent = m_server->requests("GET", "/file");
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().target, QByteArray("/file?name=%E6%96%87"));
    QCOMPARE(sent.first().header("X-Auth-Token"), QByteArray("secret"));
    QCOMPARE(sent.first().header("Range"), QByteArray("bytes=5-"));
    QCOMPARE(sent.first().header("Host"), QByteArray("127.0.0.1:") + QByteArray::number(m_server->port()));
    QCOMPARE(sent.first().header("Accept-Encoding"), QByteArray("identity"));
    QCOMPARE(sent.first().header("Connection"), QByteArray("close"));
    QVERIFY(!StreamReply::canCarry(QUrl("ftp://127.0.0.1/x")));
}

void TestStreamReply::bodiesFramedEveryWayArriveWhole_data()
{
    QTest::addColumn<ScriptedReply>("answer");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("statedLength"); // -1: none
    const QByteArray body = randomBytes(3 * 1024 * 1024 + 17);
    QTest::newRow("length") << ScriptedReply::raw("HTTP/1.1 200 OK\r\nContent-Length: " +
                                                  QByteArray::number(body.size()) + "\r\nETag: \"v1\"\r\n\r\n" + body)
                            << body << 200 << qint64(body.size());
    QTest::newRow("chunked, with extensions and trailers")
        << ScriptedReply::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nETag: \"v1\"\r\n\r\n" +
                              chunked(body, 70000))
        << body << 200 << qint64(-1);
    QTest::newRow("chunked, a length beside it means nothing")
        << ScriptedReply::raw("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\nETag: "
                              "\"v1\"\r\n\r\n" +
                              chunked(body, 1 << 20))
        << body << 200 << qint64(-1);
    QTest::newRow("until the connection closes")
        << ScriptedReply::raw("HTTP/1.1 200 OK\r\nETag: \"v1\"\r\n\r\n" + body, true) << body << 200 << qint64(-1);
    QTest::newRow("after an interim answer, a part")
        << ScriptedReply::raw("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 206 Partial Content\r\nContent-Length: 4\r\n"
                              "Content-Range: bytes 0-3/10\r\nETag: \"v1\"\r\n\r\nabcdEXTRA")
        << QByteArray("abcd") << 206 << qint64(4);
    QTest::newRow("empty") << ScriptedReply::raw("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nETag: \"v1\"\r\n\r\n")
                           << QByteArray() << 200 << qint64(0);
}

void TestStreamReply::bodiesFramedEveryWayArriveWhole()
{
    QFETCH(ScriptedReply, answer);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(qint64, statedLength);
    m_server->on("GET", "/file", answer);
    StreamReply reply(request("/file"));
    reply.setReadBufferSize(256 * 1024);
    Reader reader(&reply);
    QSignalSpy finished(&reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(20000));
    QCOMPARE(reply.error(), QNetworkReply::NoError);
    QCOMPARE(reader.finished, 1);
    QCOMPARE(reader.body.size(), body.size());
    QVERIFY(reader.body == body);
    QCOMPARE(reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
    QCOMPARE(reply.rawHeader("ETag"), QByteArray("\"v1\""));
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    QCOMPARE(length.isValid() ? length.toLongLong() : -1, statedLength);
    QVERIFY(!reply.isRunning());
}

void TestStreamReply::brokenAnswersFailInsteadOfPassingForABody_data()
{
    QTest::addColumn<ScriptedReply>("answer");
    QTest::addColumn<QNetworkReply::NetworkError>("error");
    QTest::addColumn<QByteArray>("kept"); // what may still be read: the bytes that did arrive
    const QByteArray body = randomBytes(200000);
    ScriptedReply cut =
        ScriptedReply::raw("HTTP/1.1 200 OK\r\nContent-Length: 200000\r\n\r\n" + body.left(150000), true);
    QTest::newRow("shorter than its length") << cut << QNetworkReply::RemoteHostClosedError << body.left(150000);
    QTest::newRow("chunked, cut off") << ScriptedReply::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                                                chunked(body, 50000).left(120000),
                                                            true)
                                      << QNetworkReply::RemoteHostClosedError << QByteArray();
    QTest::newRow("chunk size not a number")
        << ScriptedReply::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n", true)
        << QNetworkReply::ProtocolFailure << QByteArray();
    QTest::newRow("chunk size line without end")
        << ScriptedReply::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + QByteArray(8000, '1'), true)
        << QNetworkReply::ProtocolFailure << QByteArray();
    QTest::newRow("two lengths") << ScriptedReply::raw(
                                        "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 30\r\n\r\nabc", true)
                                 << QNetworkReply::ProtocolFailure << QByteArray();
    QTest::newRow("negative length") << ScriptedReply::raw("HTTP/1.1 200 OK\r\nContent-Length: -3\r\n\r\nabc", true)
                                     << QNetworkReply::ProtocolFailure << QByteArray();
    QTest::newRow("head without end") << ScriptedReply::raw(
                                             "HTTP/1.1 200 OK\r\nX-Pad: " + QByteArray(100000, 'a') + "\r\n\r\n", true)
                                      << QNetworkReply::ProtocolFailure << QByteArray();
    QTest::newRow("not HTTP") << ScriptedReply::raw("SSH-2.0-OpenSSH\r\n\r\n", true) << QNetworkReply::ProtocolFailure
                              << QByteArray();
    QTest::newRow("closed before a head")
        << ScriptedReply::dropped() << QNetworkReply::RemoteHostClosedError << QByteArray();
}

void TestStreamReply::brokenAnswersFailInsteadOfPassingForABody()
{
    QFETCH(ScriptedReply, answer);
    QFETCH(QNetworkReply::NetworkError, error);
    QFETCH(QByteArray, kept);
    m_server->on("GET", "/file", answer);
    StreamReply reply(request("/file"));
    QSignalSpy finished(&reply, &QNetworkReply::finished);
    QSignalSpy failed(&reply, &QNetworkReply::errorOccurred);
    QVERIFY(finished.wait(20000));
    QCOMPARE(reply.error(), error);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(finished.size(), 1);
    if (!kept.isEmpty())
        QVERIFY(reply.readAll() == kept);
    QVERIFY(!HttpClient::networkErrorText(&reply).isEmpty());
}

void TestStreamReply::boundedBufferHoldsTheSenderBack()
{
    const QByteArray body = randomBytes(16 * 1024 * 1024);
    m_server->on("GET", "/big",
                 ScriptedReply::raw("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) +
                                    "\r\n\r\n" + body));
    StreamReply reply(request("/big"));
    constexpr qint64 Bound = 256 * 1024;
    reply.setReadBufferSize(Bound);
    // Nothing is read until the buffer is full: what waits never grows past the bound (without
    // it, the socket would take in megabytes), the rest stays with the sender.
    QTRY_VERIFY_WITH_TIMEOUT(reply.bytesAvailable() >= Bound, 20000);
    // (The read that found the head's end may have taken up to a head's size of body with it.)
    QVERIFY(reply.bytesAvailable() <= Bound + StreamReply::MaxHeadBytes);
    QVERIFY(reply.isRunning());
    QByteArray got;
    QObject::connect(&reply, &QNetworkReply::readyRead, &reply, [&] { got += reply.read(64 * 1024); });
    QSignalSpy finished(&reply, &QNetworkReply::finished);
    got += reply.read(64 * 1024);
    QVERIFY(finished.wait(30000));
    got += reply.readAll();
    QCOMPARE(reply.error(), QNetworkReply::NoError);
    QCOMPARE(got.size(), body.size());
    QVERIFY(got == body);
}

void TestStreamReply::abortEndsAtOnceAndRedirectsAreNotFollowed()
{
    m_server->on("GET", "/moved", ScriptedReply::text(302, "elsewhere").withHeader("Location", "/other"));
    {
        StreamReply reply(request("/moved"));
        Reader reader(&reply);
        QSignalSpy finished(&reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(10000));
        QCOMPARE(reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 302);
        QCOMPARE(reader.body, QByteArray("elsewhere"));
        QCOMPARE(m_server->requests("GET", "/other").size(), 0);
    }
    // Refused as soon as the head is known, from inside the signal that tells it.
    m_server->on("GET", "/file", ScriptedReply::text(200, randomBytes(1 << 20)));
    StreamReply reply(request("/file"));
    QSignalSpy finished(&reply, &QNetworkReply::finished);
    QSignalSpy failed(&reply, &QNetworkReply::errorOccurred);
    int finishedInAbort = -1;
    connect(&reply, &QNetworkReply::metaDataChanged, &reply, [&] {
        reply.abort();
        finishedInAbort = int(finished.size());
    });
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QCOMPARE(finishedInAbort, 1);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(reply.error(), QNetworkReply::OperationCanceledError);
    QVERIFY(!reply.isRunning());
    QVERIFY(!reply.isOpen());
    reply.abort(); // a second abort says nothing more
    QCOMPARE(finished.size(), 1);
}

void TestStreamReply::refusedConnectionIsTheSameNetworkError()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    StreamReply reply(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(port))));
    QSignalSpy finished(&reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QCOMPARE(reply.error(), QNetworkReply::ConnectionRefusedError);
    QCOMPARE(HttpClient::networkErrorText(&reply), QStringLiteral("无法连接服务器"));
    QVERIFY(HttpClient::isConnectionFailure(&reply));
}

QTEST_GUILESS_MAIN(TestStreamReply)
#include "tst_streamreply.moc"
