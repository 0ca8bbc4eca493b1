// How the server's areas depend on each other: the demo data knows the areas, never the reverse,
// and core (what every area is built on) knows none of them.
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
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

    void coreNeverReachesIntoTheAreas()
    {
        const QString root = QFINDTESTDATA("../../server/src/core");
        QVERIFY2(!root.isEmpty(), "server core sources not found");
        // Core builds on the transport and the storage below it, and on nothing above.
        const QSet<QString> below{QStringLiteral("core"), QStringLiteral("http"), QStringLiteral("storage")};
        const QRegularExpression include(QStringLiteral("^\\s*#\\s*include\\s+\"([^/\"]+)/"),
                                         QRegularExpression::MultilineOption);
        QStringList offenders;
        int scanned = 0;
        QDirIterator it(root, {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files);
        while (it.hasNext()) {
            const QString path = it.next();
            // The start-up assembles the server: it creates the areas' services and seeds the demo data.
            if (QFileInfo(path).fileName() == QLatin1String("tolvarserver.cpp"))
                continue;
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            ++scanned;
            auto matches = include.globalMatch(QString::fromUtf8(file.readAll()));
            while (matches.hasNext()) {
                const QString folder = matches.next().captured(1);
                if (!below.contains(folder))
                    offenders.append(QFileInfo(path).fileName() + QLatin1String(" -> ") + folder);
            }
        }
        QVERIFY(scanned > 5);
        QVERIFY2(offenders.isEmpty(), qPrintable(offenders.join(QLatin1String(", "))));
    }
};

QTEST_GUILESS_MAIN(TestServerAreaLayout)
#include "tst_server_arealayout.moc"
