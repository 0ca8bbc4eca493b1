#include "files/formatting.h"

#include <QTest>
#include <ctime>

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = KiB * KiB;

// Local time follows the C library, so forcing TZ moves every conversion below.
void useTimeZone(const char *posixZone)
{
    qputenv("TZ", posixZone);
    tzset();
}

} // namespace

class TestFormatting : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { useTimeZone("UTC0"); }

    void formatSizePicksUnitAndDecimals_data();
    void formatSizePicksUnitAndDecimals();
    void formatSpeedSwitchesUnitsAtBinaryBoundaries_data();
    void formatSpeedSwitchesUnitsAtBinaryBoundaries();

    void serverTimesAreUtcShownInLocalTime_data();
    void serverTimesAreUtcShownInLocalTime();
    void shortTimeRejectsBareDates();
    void unreadableTimesAreCutNotInvented();
    void conversionCrossesDayAndYearWestOfUtc();
    void utcTimeInsideLocalDaylightGapIsNotLost();
    void explicitOffsetIsHonoured();
};

void TestFormatting::formatSizePicksUnitAndDecimals_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("negative") << qint64(-5) << "0 B";
    QTest::newRow("zero") << qint64(0) << "0 B";
    QTest::newRow("last byte count") << qint64(1023) << "1023 B";
    QTest::newRow("first kilobyte") << KiB << "1.00 KB";
    QTest::newRow("one and a half") << qint64(1536) << "1.50 KB";
    QTest::newRow("ten kilobytes") << 10 * KiB << "10.0 KB";
    QTest::newRow("hundred kilobytes") << 100 * KiB << "100 KB";
    QTest::newRow("just under a megabyte rounds up in KB") << MiB - 1 << "1024 KB";
    QTest::newRow("first megabyte") << MiB << "1.00 MB";
    QTest::newRow("ten megabytes") << 10 * MiB << "10.0 MB";
    QTest::newRow("150 megabytes") << 150 * MiB << "150 MB";
    QTest::newRow("12.3 megabytes") << qint64(12.3 * MiB) << "12.3 MB";
    QTest::newRow("gigabyte") << MiB * KiB << "1.00 GB";
    QTest::newRow("terabyte") << MiB * MiB << "1.00 TB";
    QTest::newRow("petabyte") << MiB * MiB * KiB << "1.00 PB";
    QTest::newRow("beyond petabytes stays in PB") << 5 * MiB * MiB * MiB << "5120 PB";
    QTest::newRow("largest value") << std::numeric_limits<qint64>::max() << "8192 PB";
}

void TestFormatting::formatSizePicksUnitAndDecimals()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(formatSize(bytes), text);
}

void TestFormatting::formatSpeedSwitchesUnitsAtBinaryBoundaries_data()
{
    QTest::addColumn<qint64>("rate");
    QTest::addColumn<QString>("text");
    QTest::newRow("negative") << qint64(-1) << "0";
    QTest::newRow("zero") << qint64(0) << "0";
    QTest::newRow("one byte") << qint64(1) << "1B/s";
    QTest::newRow("bytes") << qint64(512) << "512B/s";
    QTest::newRow("last byte rate") << qint64(1023) << "1023B/s";
    QTest::newRow("first kilobyte") << KiB << "1KB/s";
    QTest::newRow("kilobytes rounded") << qint64(38000) << "37KB/s";
    QTest::newRow("just under a megabyte") << MiB - 1 << "1024KB/s";
    QTest::newRow("first megabyte") << MiB << "1.0MB/s";
    QTest::newRow("megabytes one decimal") << qint64(2.4 * MiB) << "2.4MB/s";
    QTest::newRow("gigabyte in MB") << MiB * KiB << "1024.0MB/s";
}

void TestFormatting::formatSpeedSwitchesUnitsAtBinaryBoundaries()
{
    QFETCH(qint64, rate);
    QFETCH(QString, text);
    QCOMPARE(formatSpeed(rate), text);
}

void TestFormatting::serverTimesAreUtcShownInLocalTime_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("full");
    QTest::addColumn<QString>("brief");
    QTest::newRow("ISO with Z") << "2024-05-01T16:00:00Z"
                                << "2024-05-02 00:00"
                                << "05-02 00:00";
    QTest::newRow("ISO with milliseconds") << "2024-05-01T16:00:00.123Z"
                                           << "2024-05-02 00:00"
                                           << "05-02 00:00";
    QTest::newRow("ISO without Z") << "2024-05-01T16:00:00"
                                   << "2024-05-02 00:00"
                                   << "05-02 00:00";
    QTest::newRow("plain form") << "2024-05-01 16:00:00"
                                << "2024-05-02 00:00"
                                << "05-02 00:00";
    QTest::newRow("surrounding blanks") << "  2024-05-01T16:00:00Z \n"
                                        << "2024-05-02 00:00"
                                        << "05-02 00:00";
    QTest::newRow("minutes kept") << "2024-12-31 15:59:59"
                                  << "2024-12-31 23:59"
                                  << "12-31 23:59";
    QTest::newRow("new year") << "2024-12-31T16:30:00Z"
                              << "2025-01-01 00:30"
                              << "01-01 00:30";
}

void TestFormatting::serverTimesAreUtcShownInLocalTime()
{
    QFETCH(QString, server);
    QFETCH(QString, full);
    QFETCH(QString, brief);
    useTimeZone("CST-8"); // UTC+8, no daylight saving

    const QDateTime local = parseServerTime(server);
    QVERIFY(local.isValid());
    QCOMPARE(local.timeSpec(), Qt::LocalTime);
    QCOMPARE(formatDateTime(server), full);
    QCOMPARE(formatShortTime(server), brief);
}

void TestFormatting::shortTimeRejectsBareDates()
{
    useTimeZone("CST-8");
    // A bare date is midnight UTC for the full form, but the short form cannot read it.
    QCOMPARE(parseServerTime("2024-05-01").toString("yyyy-MM-dd HH:mm:ss"), QString("2024-05-01 08:00:00"));
    QCOMPARE(formatDateTime("2024-05-01"), QString("2024-05-01 08:00"));
    QCOMPARE(formatShortTime("2024-05-01"), QString("2024-05-01"));
    QCOMPARE(formatShortTime("2024-05-01T10:20Z"), QString("2024-05-01 10:20"));
}

void TestFormatting::unreadableTimesAreCutNotInvented()
{
    useTimeZone("CST-8");
    QVERIFY(!parseServerTime("").isValid());
    QVERIFY(!parseServerTime("yesterday").isValid());
    QVERIFY(!parseServerTime("2024-13-45 10:00:00").isValid());
    QCOMPARE(formatDateTime(""), QString());
    QCOMPARE(formatDateTime("not a time stamp at all"), QString("not a time stamp"));
    // The full form cuts the text as given; the short form cuts the normalised text.
    QCOMPARE(formatDateTime("  Tomorrow morning, maybe"), QString("  Tomorrow morni"));
    QCOMPARE(formatShortTime("  Tomorrow morning, maybe"), QString(" omorrow morning"));
    QCOMPARE(formatShortTime("garbageZ"), QString("garbage"));
}

void TestFormatting::conversionCrossesDayAndYearWestOfUtc()
{
    useTimeZone("EST5"); // UTC-5
    QCOMPARE(formatDateTime("2024-01-01T03:00:00Z"), QString("2023-12-31 22:00"));
    QCOMPARE(formatShortTime("2024-01-01 03:00:00"), QString("12-31 22:00"));
    QCOMPARE(formatDateTime("2024-01-01"), QString("2023-12-31 19:00"));
}

void TestFormatting::utcTimeInsideLocalDaylightGapIsNotLost()
{
    // Central Europe skips 02:00-03:00 local on 2024-03-31; 02:30 UTC is 04:30 summer time.
    useTimeZone("CET-1CEST,M3.5.0,M10.5.0/3");
    QCOMPARE(formatDateTime("2024-03-31T02:30:00Z"), QString("2024-03-31 04:30"));
    QCOMPARE(formatShortTime("2024-03-31 02:30:00"), QString("03-31 04:30"));
    // And the hour that repeats in autumn: 00:30 and 01:30 UTC are both 02:30 local.
    QCOMPARE(formatDateTime("2024-10-27T00:30:00Z"), QString("2024-10-27 02:30"));
    QCOMPARE(formatDateTime("2024-10-27T01:30:00Z"), QString("2024-10-27 02:30"));
}

void TestFormatting::explicitOffsetIsHonoured()
{
    useTimeZone("CST-8");
    QCOMPARE(formatDateTime("2024-05-01T16:00:00+08:00"), QString("2024-05-01 16:00"));
    QCOMPARE(formatDateTime("2024-05-01T16:00:00.5+0800"), QString("2024-05-01 16:00"));
    QCOMPARE(formatDateTime("2024-05-01T16:00:00-01:30"), QString("2024-05-02 01:30"));
    QCOMPARE(formatShortTime("2024-05-01 16:00:00+00:00"), QString("05-02 00:00"));
    // A suffix that is no offset is ignored: the time stays UTC.
    QCOMPARE(formatDateTime("2024-05-01 16:00:00 UTC"), QString("2024-05-02 00:00"));
}

QTEST_GUILESS_MAIN(TestFormatting)
#include "tst_formatting.moc"
