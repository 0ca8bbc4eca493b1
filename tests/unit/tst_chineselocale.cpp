// Qt's own dialogs in Chinese: after start-up the framework's texts, the file dialog's kinds and
// the dates it shows are Chinese, whatever language the desktop runs in.
#include "app/chinesesystemlocale.h"
#include "app/startup.h"

#include <QApplication>
#include <QDate>
#include <QDir>
#include <QFileSystemModel>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {
// The child of systemLocaleIsChineseAndTheEnvironmentComesBack: starts as main.cpp does and says
// what the system locale and the environment are afterwards.
int runChild(int argc, char **argv)
{
    auto chinese = std::make_unique<ChineseSystemLocale>();
    QApplication app(argc, argv);
    chinese.reset();
    const QLocale system = QLocale::system();
    std::printf("system=%s\n", qPrintable(system.name()));
    std::printf("date=%s\n", qPrintable(system.toString(QDate(2026, 12, 10), QLocale::ShortFormat)));
    std::printf("size=%s\n", qPrintable(system.formattedDataSize(1)));
    std::printf("LC_TIME=%s\n", qEnvironmentVariableIsSet("LC_TIME") ? qgetenv("LC_TIME").constData() : "<unset>");
    std::printf("LC_MESSAGES=%s\n",
                qEnvironmentVariableIsSet("LC_MESSAGES") ? qgetenv("LC_MESSAGES").constData() : "<unset>");
    std::printf("LC_ALL=%s\n", qEnvironmentVariableIsSet("LC_ALL") ? qgetenv("LC_ALL").constData() : "<unset>");
    return 0;
}
} // namespace

class TstChineseLocale : public QObject
{
    Q_OBJECT

private slots:
    void fileDialogTextsAndKindsAreChineseAfterStartUp();
    void systemLocaleIsChineseAndTheEnvironmentComesBack();
};

void TstChineseLocale::fileDialogTextsAndKindsAreChineseAfterStartUp()
{
    Theme::startUp(*qApp);
    QCOMPARE(QCoreApplication::translate("QFileDialog", "Folder"), QStringLiteral("文件夹"));
    // What the file dialog's kind column shows for a folder; Debian's catalogue lacks it.
    QCOMPARE(QCoreApplication::translate("QAbstractFileIconProvider", "Folder", "All other platforms"),
             QStringLiteral("文件夹"));
    QCOMPARE(QLocale().name(), QStringLiteral("zh_CN"));
    QVERIFY(QLocale().toString(QDate(2026, 12, 10), QLocale::LongFormat).startsWith(QStringLiteral("2026年12月10日")));

    // The dialog's own model, as it lists a folder.
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    QFileSystemModel model;
    const QModelIndex root = model.setRootPath(dir.path());
    QTRY_COMPARE(model.rowCount(root), 1);
    QCOMPARE(model.index(0, 2, root).data().toString(), QStringLiteral("文件夹"));
    QCOMPARE(model.headerData(3, Qt::Horizontal).toString(), QStringLiteral("修改日期"));
}

void TstChineseLocale::systemLocaleIsChineseAndTheEnvironmentComesBack()
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8"));
    env.insert(QStringLiteral("LC_TIME"), QStringLiteral("en_GB.UTF-8"));
    env.remove(QStringLiteral("LC_MESSAGES"));
    env.remove(QStringLiteral("LC_ALL"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child")});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitCode(), 0);
    const QStringList lines = QString::fromUtf8(child.readAllStandardOutput()).split(QLatin1Char('\n'));
    // Dates and sizes in Qt's dialogs come from the system locale.
    QVERIFY2(lines.contains(QStringLiteral("system=zh_CN")), qPrintable(lines.join(QLatin1Char('|'))));
    QVERIFY2(lines.contains(QStringLiteral("date=2026/12/10")), qPrintable(lines.join(QLatin1Char('|'))));
    QVERIFY2(lines.contains(QStringLiteral("size=1 字节")), qPrintable(lines.join(QLatin1Char('|'))));
    // Programs the client starts get the user's own settings.
    QVERIFY2(lines.contains(QStringLiteral("LC_TIME=en_GB.UTF-8")), qPrintable(lines.join(QLatin1Char('|'))));
    QVERIFY(lines.contains(QStringLiteral("LC_MESSAGES=<unset>")));
    QVERIFY(lines.contains(QStringLiteral("LC_ALL=<unset>")));
}

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);
    QApplication app(argc, argv);
    TstChineseLocale test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_chineselocale.moc"
