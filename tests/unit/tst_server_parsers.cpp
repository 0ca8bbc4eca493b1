// The server's readers of request bytes, at the edges the fuzz targets in fuzz/ found: a
// multipart body gives the same parts and outcome however the network slices it, also at its
// size limits, and sizes sent as JSON numbers never pass their bound.
#include "http/envelope.h"
#include "http/multipartparser.h"

#include <QJsonValue>
#include <QtTest>
#include <limits>

using namespace tvr::server;
using http::MultipartParser;

namespace {

constexpr qsizetype PreambleLimit = 16 * 1024;
constexpr qsizetype BoundaryLineLimit = 1024;

struct Outcome
{
    QStringList parts; // name=data of each part
    bool finished = false;
    bool failed = false;
};

// The body fed in slices of `slice` bytes (0: all at once), as the transport hands it over.
Outcome parse(const QByteArray &body, size_t slice)
{
    Outcome out;
    MultipartParser parser(
        "xyz",
        [&out](const http::Part &part) {
            out.parts.append(QString::fromStdString(part.name) + QLatin1Char('='));
            return true;
        },
        [&out](const char *data, size_t length) {
            out.parts.last() += QString::fromUtf8(data, qsizetype(length));
            return true;
        });
    const size_t size = size_t(body.size());
    for (size_t at = 0; at < size;) {
        const size_t length = slice == 0 ? size : std::min(slice, size - at);
        parser.feed(body.constData() + at, length);
        at += length;
    }
    out.finished = parser.finished();
    out.failed = parser.failed();
    return out;
}

const QByteArray Part = "Content-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n--xyz--";

// A size sent as a JSON number, or -1 when it is refused.
qint64 size(const QJsonValue &value, qint64 max)
{
    return jsonSize(value, max).value_or(-1);
}

} // namespace

class TestServerParsers : public QObject
{
    Q_OBJECT

private slots:
    void multipartLimitsHoldHoweverTheBodyIsSliced_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("accepted");

        // The boundary may start up to 16 KiB into the body, not later.
        const QByteArray boundary = "--xyz\r\n" + Part;
        QTest::newRow("preamble at the limit") << QByteArray(PreambleLimit, 'p') + boundary << true;
        QTest::newRow("preamble past the limit") << QByteArray(PreambleLimit + 1, 'p') + boundary << false;

        // Blanks after a boundary, up to 1 KiB of them.
        QTest::newRow("padding at the limit") << "--xyz" + QByteArray(BoundaryLineLimit, ' ') + "\r\n" + Part << true;
        QTest::newRow("padding past the limit")
            << "--xyz" + QByteArray(BoundaryLineLimit + 1, ' ') + "\r\n" + Part << false;

        // A part's headers, up to 16 KiB before the blank line.
        const QByteArray disposition = "Content-Disposition: form-data; name=\"a\"\r\nX-Pad: ";
        const auto headers = [&](qsizetype size) {
            return "--xyz\r\n" + disposition + QByteArray(size - disposition.size(), 'y') + "\r\n\r\nv\r\n--xyz--";
        };
        QTest::newRow("headers at the limit") << headers(qsizetype(MultipartParser::MaxHeaderBytes)) << true;
        QTest::newRow("headers past the limit") << headers(qsizetype(MultipartParser::MaxHeaderBytes) + 1) << false;
    }

    void multipartLimitsHoldHoweverTheBodyIsSliced()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, accepted);
        const Outcome whole = parse(body, 0);
        QCOMPARE(whole.finished, accepted);
        QCOMPARE(whole.failed, !accepted);
        QCOMPARE(whole.parts, accepted ? QStringList{QStringLiteral("a=v")} : QStringList());
        // Byte by byte, and in slices that end just short of the limits.
        for (const size_t slice : {size_t(1), size_t(2), size_t(3), size_t(1000), size_t(4096), size_t(8191)}) {
            const Outcome sliced = parse(body, slice);
            QCOMPARE(sliced.finished, whole.finished);
            QCOMPARE(sliced.failed, whole.failed);
            QCOMPARE(sliced.parts, whole.parts);
        }
    }

    void jsonSizesStayWithinTheirBound()
    {
        constexpr qint64 Max = std::numeric_limits<qint64>::max();
        // 2^63 does not fit in 64 bits; it used to be converted all the same.
        QCOMPARE(size(9223372036854775808.0, Max), -1);
        QCOMPARE(size(1e300, Max), -1);
        QCOMPARE(size(9223372036854774784.0, Max), 9223372036854774784);
        // A bound that is no double: 2^53 + 3 rounds up to 2^53 + 4, which is past it.
        const qint64 odd = (qint64(1) << 53) + 3;
        QCOMPARE(size(double(odd + 1), odd), -1);
        QCOMPARE(size(double(odd - 1), odd), odd - 1);
        // The ordinary cases around a bound.
        QCOMPARE(size(1024, 1024), 1024);
        QCOMPARE(size(1025, 1024), -1);
        QCOMPARE(size(QStringLiteral(" 1024 "), 1024), 1024);
        QCOMPARE(size(QStringLiteral("1025"), 1024), -1);
        QCOMPARE(size(-1, 1024), -1);
        QCOMPARE(size(1.5, 1024), -1);
    }
};

QTEST_GUILESS_MAIN(TestServerParsers)
#include "tst_server_parsers.moc"
