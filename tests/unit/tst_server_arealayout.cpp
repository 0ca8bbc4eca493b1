// How the server's areas depend on each other: the demo data knows the areas, never the reverse.
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

class TestServerAreaLayout : public QObject
{
    Q_OBJECT

private slots:
    void areasNeverReachForTheDemoData()
    {
        const QString root = QFINDTESTDATA("../../server/src");
        QVERIFY2(!root.isEmpty(), "server sources not found");
        const QRegularExpression demoInclude(QStringLiteral("^\\s*#\\s*include\\s+\"demo/"),
                                             QRegularExpression::MultilineOption);
        QStringList offenders;
        int scanned = 0;
        QDirIterator it(root, {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString relative = QDir(root).relativeFilePath(path);
            // The demo data itself, and the start-up that seeds it when asked to.
            if (relative.startsWith(QLatin1String("demo/")) || relative == QLatin1String("core/tolvarserver.cpp"))
                continue;
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            ++scanned;
            if (demoInclude.match(QString::fromUtf8(file.readAll())).hasMatch())
                offenders.append(relative);
        }
        QVERIFY(scanned > 20);
        QVERIFY2(offenders.isEmpty(), qPrintable(offenders.join(QLatin1String(", "))));
    }
};

QTEST_GUILESS_MAIN(TestServerAreaLayout)
#include "tst_server_arealayout.moc"
