#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#ifndef TVR_CLIENT_BINARY
#error "TVR_CLIENT_BINARY must name the client executable"
#endif

namespace {
struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs the client with arguments; without a display unless platform is given.
Run runClient(const QStringList &arguments, const QString &platform = QString())
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    if (!platform.isEmpty())
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TVR_CLIENT_BINARY), arguments);
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}
} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void versionAnswersWithoutDisplay_data();
    void versionAnswersWithoutDisplay();
    void helpNamesOptionsAndServerVariable();
    void unknownOptionIsRefusedInChinese();
};

void TestCommandLine::versionAnswersWithoutDisplay_data()
{
    QTest::addColumn<QString>("option");
    QTest::newRow("long") << QStringLiteral("--version");
    QTest::newRow("short") << QStringLiteral("-v");
}

void TestCommandLine::versionAnswersWithoutDisplay()
{
    QFETCH(QString, option);
    const Run run = runClient({option});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QStringLiteral("tolvar-storage 2.1.23\n"));
}

void TestCommandLine::helpNamesOptionsAndServerVariable()
{
    const Run run = runClient({QStringLiteral("--help")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(QStringLiteral("托尔瓦企业存储")), qPrintable(run.out));
    for (const char *text : {"--help", "--version", "TVR_SERVER", "显示版本号并退出"})
        QVERIFY2(run.out.contains(QString::fromUtf8(text)), text);
}

void TestCommandLine::unknownOptionIsRefusedInChinese()
{
    const Run run = runClient({QStringLiteral("--no-such-option")}, QStringLiteral("offscreen"));
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(QStringLiteral("无法识别的选项 no-such-option")), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
