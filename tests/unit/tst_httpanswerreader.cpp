#include "net/httpanswerreader.h"

#include <QTest>

using Result = HttpAnswerReader::Result;

Q_DECLARE_METATYPE(HttpAnswerReader::Result)

namespace {
struct Read
{
    Result result = Result::NeedMore;
    bool whole = false; // complete once the connection closed
    int status = 0;
    bool keepAlive = false;
    bool extra = false;
    QByteArray body;
};

// Feeds bytes in pieces of the given size (at least one feed), then closes the connection.
Read read(const QByteArray &bytes, qsizetype piece)
{
    HttpAnswerReader reader;
    Read out;
    qsizetype at = 0;
    do {
        out.result = reader.feed(bytes.mid(at, piece));
        at += piece;
    } while (at < bytes.size());
    out.extra = reader.hasExtraBytes();
    out.whole = out.result != Result::Unreadable && out.result != Result::TooLarge && reader.finishAtClose();
    out.status = reader.status();
    out.keepAlive = reader.keepAlive();
    out.body = reader.body();
    return out;
}
} // namespace

class TestHttpAnswerReader : public QObject
{
    Q_OBJECT

private slots:
    void readsAnswerTheSameInAnyPieces_data();
    void readsAnswerTheSameInAnyPieces();
    void headLimitHoldsForOnePieceAsForMany();
    void chunkSizeLineLimitHoldsForOnePieceAsForMany();
    void untilCloseBodyStopsAtLimit();
    void failureStaysUntilReset();
    void resetReadsTheNextAnswer();
};

void TestHttpAnswerReader::readsAnswerTheSameInAnyPieces_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Result>("result");
    QTest::addColumn<bool>("whole");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("keepAlive");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("extra");

    QTest::newRow("content-length") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello")
                                    << Result::Complete << true << 200 << true << QByteArray("hello") << false;
    QTest::newRow("short body waits") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nhello")
                                      << Result::NeedMore << false << 200 << true << QByteArray("hello") << false;
    QTest::newRow("chunked with extension and trailer")
        << QByteArray("HTTP/1.1 201 Created\r\nTransfer-Encoding: chunked\r\n\r\n4;x=y\r\nabcd\r\n2\r\nef\r\n0\r\n"
                      "X-Check: 1\r\n\r\n")
        << Result::Complete << true << 201 << true << QByteArray("abcdef") << false;
    QTest::newRow("chunk longer than its size")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n")
        << Result::Unreadable << false << 200 << true << QByteArray("ab") << false;
    QTest::newRow("negative chunk size") << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-1\r\n")
                                         << Result::Unreadable << false << 200 << true << QByteArray() << false;
    QTest::newRow("body until close") << QByteArray("HTTP/1.1 500 Oops\nX: y\n\npartial") << Result::NeedMore << true
                                      << 500 << false << QByteArray("partial") << false;
    QTest::newRow("interim answers skipped")
        << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n")
        << Result::Complete << true << 204 << true << QByteArray() << false;
    QTest::newRow("switching protocols refused") << QByteArray("HTTP/1.1 101 Switching\r\nUpgrade: x\r\n\r\n")
                                                 << Result::Unreadable << false << 0 << true << QByteArray() << false;
    QTest::newRow("HTTP/1.0 closes, keep-alive keeps")
        << QByteArray("HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 0\r\n\r\n") << Result::Complete
        << true << 200 << true << QByteArray() << false;
    QTest::newRow("connection close") << QByteArray(
                                             "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\nx")
                                      << Result::Complete << true << 200 << false << QByteArray("x") << false;
    QTest::newRow("differing lengths") << QByteArray(
                                              "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nxy")
                                       << Result::Unreadable << false << 0 << true << QByteArray() << false;
    QTest::newRow("length past the limit")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(HttpAnswerReader::MaxBodyBytes + 1) +
                      "\r\n\r\n")
        << Result::Unreadable << false << 0 << true << QByteArray() << false;
    QTest::newRow("not http") << QByteArray("SSH-2.0-OpenSSH\r\n\r\n") << Result::Unreadable << false << 0 << true
                              << QByteArray() << false;
    QTest::newRow("status out of range") << QByteArray("HTTP/1.1 1000 Big\r\n\r\n") << Result::Unreadable << false << 0
                                         << true << QByteArray() << false;
    QTest::newRow("bytes after the answer")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokHTTP/1.1 200 OK\r\n") << Result::Complete << true
        << 200 << true << QByteArray("ok") << true;
}

void TestHttpAnswerReader::readsAnswerTheSameInAnyPieces()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Result, result);
    for (const qsizetype piece : {bytes.size() + 1, qsizetype(1), qsizetype(3), qsizetype(16)}) {
        const Read got = read(bytes, piece);
        const QByteArray where = "piece size " + QByteArray::number(piece);
        QVERIFY2(got.result == result, where);
        QFETCH(bool, whole);
        QFETCH(int, status);
        QFETCH(bool, keepAlive);
        QFETCH(QByteArray, body);
        QFETCH(bool, extra);
        QVERIFY2(got.whole == whole, where);
        QVERIFY2(got.status == status, where);
        QVERIFY2(got.body == body, where);
        QVERIFY2(got.extra == extra, where);
        if (got.whole && result == Result::Complete)
            QVERIFY2(got.keepAlive == keepAlive, where);
    }
}

void TestHttpAnswerReader::headLimitHoldsForOnePieceAsForMany()
{
    // A head past the limit is refused even when it arrives complete in one read.
    const QByteArray filler = "X-Filler: " + QByteArray(HttpAnswerReader::MaxHeaderBytes, 'a') + "\r\n";
    const QByteArray tooLong = "HTTP/1.1 200 OK\r\n" + filler + "Content-Length: 0\r\n\r\n";
    QCOMPARE(read(tooLong, tooLong.size()).result, Result::Unreadable);
    QCOMPARE(read(tooLong, 1000).result, Result::Unreadable);

    const QByteArray fits = "HTTP/1.1 200 OK\r\nX-Filler: " + QByteArray(HttpAnswerReader::MaxHeaderBytes - 100, 'a') +
                            "\r\nContent-Length: 0\r\n\r\n";
    QCOMPARE(read(fits, fits.size()).result, Result::Complete);
    QCOMPARE(read(fits, 1000).result, Result::Complete);
}

void TestHttpAnswerReader::chunkSizeLineLimitHoldsForOnePieceAsForMany()
{
    const QByteArray head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const QByteArray longLine = head + "1;" + QByteArray(HttpAnswerReader::MaxHeaderBytes, 'e') + "\r\nx\r\n0\r\n\r\n";
    QCOMPARE(read(longLine, longLine.size()).result, Result::Unreadable);
    QCOMPARE(read(longLine, 4096).result, Result::Unreadable);
}

void TestHttpAnswerReader::untilCloseBodyStopsAtLimit()
{
    const QByteArray head = "HTTP/1.1 200 OK\r\n\r\n";
    QCOMPARE(read(head + QByteArray(HttpAnswerReader::MaxBodyBytes, 'z'), 1 << 20).result, Result::NeedMore);
    const Read over = read(head + QByteArray(HttpAnswerReader::MaxBodyBytes + 1, 'z'), 1 << 20);
    QCOMPARE(over.result, Result::TooLarge);
    QVERIFY(over.body.size() <= HttpAnswerReader::MaxBodyBytes);
}

void TestHttpAnswerReader::failureStaysUntilReset()
{
    HttpAnswerReader reader;
    QCOMPARE(reader.feed("garbage\r\n\r\n"), Result::Unreadable);
    QCOMPARE(reader.feed("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"), Result::Unreadable);
    QVERIFY(!reader.finishAtClose());
    QVERIFY(!reader.isComplete());
}

void TestHttpAnswerReader::resetReadsTheNextAnswer()
{
    HttpAnswerReader reader;
    QCOMPARE(reader.feed("HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 3\r\n\r\nno!"),
             Result::Complete);
    QCOMPARE(reader.status(), 404);
    QVERIFY(!reader.keepAlive());
    reader.reset();
    QCOMPARE(reader.status(), 0);
    QVERIFY(reader.body().isEmpty());
    QCOMPARE(reader.feed("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"), Result::Complete);
    QCOMPARE(reader.status(), 200);
    QVERIFY(reader.keepAlive());
    QCOMPARE(reader.body(), QByteArray("ok"));
}

QTEST_GUILESS_MAIN(TestHttpAnswerReader)
#include "tst_httpanswerreader.moc"
