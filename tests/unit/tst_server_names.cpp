// The name rules of the server: what a name may hold so that it shows as what it is.
#include "core/names.h"

#include <QtTest>

using namespace tvr::server;

class TestServerNames : public QObject
{
    Q_OBJECT

private slots:
    void emojiJoinedIntoOnePictureAreAllowed_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("family") << QStringLiteral("家庭 👨‍👩‍👧.jpg");
        QTest::newRow("technologist") << QStringLiteral("👩‍💻 笔记");
        QTest::newRow("skin tone") << QStringLiteral("👩🏽‍💻");
        QTest::newRow("rainbow flag") << QStringLiteral("🏳️‍🌈");
        QTest::newRow("heart on fire") << QStringLiteral("❤️‍🔥");
        QTest::newRow("no joiner") << QStringLiteral("报告 2024.pdf");
    }
    void emojiJoinedIntoOnePictureAreAllowed()
    {
        QFETCH(QString, name);
        QVERIFY(!Names::hasDeceptiveCharacters(name));
    }

    void aJoinerAnywhereElseIsRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("between letters") << QStringLiteral("re\u200Dport");
        QTest::newRow("leading") << QStringLiteral("\u200D👩");
        QTest::newRow("trailing") << QStringLiteral("👩\u200D");
        QTest::newRow("emoji then letter") << QStringLiteral("👩\u200Da");
        QTest::newRow("letter then emoji") << QStringLiteral("a\u200D👩");
        QTest::newRow("two joiners") << QStringLiteral("👩\u200D\u200D💻");
        QTest::newRow("selector alone") << QStringLiteral("a\uFE0F\u200D👩");
        QTest::newRow("zero-width space in emoji") << QStringLiteral("👩\u200B💻");
        QTest::newRow("override beside emoji") << QStringLiteral("👩\u200D💻\u202Etxt.exe");
    }
    void aJoinerAnywhereElseIsRefused()
    {
        QFETCH(QString, name);
        QVERIFY(Names::hasDeceptiveCharacters(name));
    }
};

QTEST_GUILESS_MAIN(TestServerNames)
#include "tst_server_names.moc"
