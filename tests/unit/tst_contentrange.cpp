#include "transfer/contentrange.h"

#include <QTest>

class TestContentRange : public QObject
{
    Q_OBJECT

private slots:
    void readsTheThreeForms_data();
    void readsTheThreeForms();
    void refusesRangesThatContradictThemselves_data();
    void refusesRangesThatContradictThemselves();
};

void TestContentRange::readsTheThreeForms_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<qint64>("total");

    QTest::newRow("range of known total") << QByteArray("bytes 0-1023/4096") << 0LL << 1023LL << 4096LL;
    QTest::newRow("last byte") << QByteArray("bytes 4095-4095/4096") << 4095LL << 4095LL << 4096LL;
    QTest::newRow("unknown total") << QByteArray("bytes 100-199/*") << 100LL << 199LL << -1LL;
    QTest::newRow("unsatisfied (416)") << QByteArray("bytes */5000000000") << -1LL << -1LL << 5000000000LL;
    QTest::newRow("case and spaces") << QByteArray("  BYTES  7-8/9 ") << 7LL << 8LL << 9LL;
    QTest::newRow("largest total") << QByteArray("bytes 0-9223372036854775806/9223372036854775807") << 0LL
                                   << 9223372036854775806LL << 9223372036854775807LL;
}

void TestContentRange::readsTheThreeForms()
{
    QFETCH(QByteArray, header);
    const ContentRange range = ContentRange::parse(header);
    QVERIFY(range.valid);
    QTEST(range.first, "first");
    QTEST(range.last, "last");
    QTEST(range.total, "total");
}

void TestContentRange::refusesRangesThatContradictThemselves_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("other unit") << QByteArray("items 0-1/2");
    QTest::newRow("last before first") << QByteArray("bytes 10-5/100");
    QTest::newRow("last at total") << QByteArray("bytes 0-100/100");
    QTest::newRow("nothing known") << QByteArray("bytes */*");
    QTest::newRow("first beyond 64 bits") << QByteArray("bytes 9223372036854775808-9223372036854775809/*");
    QTest::newRow("total beyond 64 bits") << QByteArray("bytes 0-1/99999999999999999999");
    QTest::newRow("negative") << QByteArray("bytes -1-5/10");
    QTest::newRow("missing last") << QByteArray("bytes 5-/10");
    QTest::newRow("trailing text") << QByteArray("bytes 0-1/2; x");
    QTest::newRow("two ranges") << QByteArray("bytes 0-1,3-4/10");
}

void TestContentRange::refusesRangesThatContradictThemselves()
{
    QFETCH(QByteArray, header);
    QVERIFY(!ContentRange::parse(header).valid);
}

QTEST_GUILESS_MAIN(TestContentRange)
#include "tst_contentrange.moc"
