// Device code: derived once, stored in the isolated settings store, reused, always well formed.
#include "net/machinecode.h"
#include "testsettings.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QRegularExpression CodeFormat(QStringLiteral("^MJ-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}$"));

QSettings store()
{
    return QSettings(QStringLiteral("Tolvarsoft"), QStringLiteral("tolvar-storage-qt"));
}

QString expectedCode(const QString &fingerprint)
{
    const QByteArray hex = QCryptographicHash::hash(fingerprint.toUtf8(), QCryptographicHash::Sha256).toHex();
    return formatMachineCode(QString::fromLatin1(hex.left(16)).toUpper());
}

QString fallbackFingerprint()
{
    return QString::fromUtf8(QSysInfo::machineUniqueId()) + QLatin1Char('|') + QSysInfo::machineHostName();
}
} // namespace

class TestMachineCode : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void formatsSixteenDigits();
    void derivesOncePerRunAndStoresTheCode();
    void reusesTheStoredCodeWithoutQuerying();
    void emptySerialsFallBackToMachineIdAndHost_data();
    void emptySerialsFallBackToMachineIdAndHost();
    void withoutHardwareQueryTheFallbackAppliesAtOnce();

private:
    QTemporaryDir m_settingsDir;
    int m_queries = 0;
    QString m_fingerprint;
};

void TestMachineCode::initTestCase()
{
    QVERIFY(m_settingsDir.isValid());
    useSettingsFolder(m_settingsDir.path());
    MachineCode::setFingerprintProvider([this] {
        ++m_queries;
        return m_fingerprint;
    });
}

void TestMachineCode::init()
{
    store().remove(QStringLiteral("machineCode"));
    MachineCode::resetCache();
    m_queries = 0;
    m_fingerprint = QStringLiteral("BFEBFBFF000906EA|To Be Filled|MB-1234|S3Z9NB0K");
}

void TestMachineCode::cleanupTestCase()
{
    MachineCode::setFingerprintProvider({});
}

void TestMachineCode::formatsSixteenDigits()
{
    QCOMPARE(formatMachineCode(QStringLiteral("0123456789ABCDEF")), QStringLiteral("MJ-0123-4567-89AB-CDEF"));
}

void TestMachineCode::derivesOncePerRunAndStoresTheCode()
{
    const QString first = computeMachineCode();
    const QString second = computeMachineCode();
    QCOMPARE(m_queries, 1);
    QCOMPARE(first, second);
    QVERIFY2(CodeFormat.match(first).hasMatch(), qPrintable(first));
    // The digest covers the text with its "|" separators.
    QCOMPARE(first, expectedCode(m_fingerprint));
    QCOMPARE(store().value(QStringLiteral("machineCode")).toString(), first);

    // A new run with the same hardware and the store emptied derives the same code again.
    store().remove(QStringLiteral("machineCode"));
    MachineCode::resetCache();
    QCOMPARE(computeMachineCode(), first);
    QCOMPARE(m_queries, 2);
}

void TestMachineCode::reusesTheStoredCodeWithoutQuerying()
{
    store().setValue(QStringLiteral("machineCode"), QStringLiteral("MJ-1A2B-3C4D-5E6F-7A8B"));
    QCOMPARE(computeMachineCode(), QStringLiteral("MJ-1A2B-3C4D-5E6F-7A8B"));
    QCOMPARE(m_queries, 0);
}

void TestMachineCode::emptySerialsFallBackToMachineIdAndHost_data()
{
    QTest::addColumn<QString>("fingerprint");
    QTest::newRow("all serials empty") << "|||";
    QTest::newRow("nothing at all") << "";
    QTest::newRow("whitespace") << " | |\t| ";
    QTest::newRow("three characters") << "A|B|C|";
}

void TestMachineCode::emptySerialsFallBackToMachineIdAndHost()
{
    QFETCH(QString, fingerprint);
    m_fingerprint = fingerprint;
    const QString code = computeMachineCode();
    QCOMPARE(code, expectedCode(fallbackFingerprint()));
    QVERIFY(CodeFormat.match(code).hasMatch());
}

void TestMachineCode::withoutHardwareQueryTheFallbackAppliesAtOnce()
{
#ifdef Q_OS_WIN
    QSKIP("Windows runs the PowerShell query");
#else
    QVERIFY(hardwareFingerprint().isEmpty());
    MachineCode::setFingerprintProvider({});
    const QString code = computeMachineCode();
    QCOMPARE(code, expectedCode(fallbackFingerprint()));
    MachineCode::setFingerprintProvider([this] {
        ++m_queries;
        return m_fingerprint;
    });
#endif
}

QTEST_GUILESS_MAIN(TestMachineCode)
#include "tst_machinecode.moc"
