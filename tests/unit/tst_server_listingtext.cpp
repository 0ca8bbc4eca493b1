// The file listing written as text: clients must read exactly what QJsonDocument would have
// written for the same records, whatever the names hold.
#include "files/fileentry.h"
#include "http/jsontext.h"

#include <QJsonDocument>
#include <QtTest>

using namespace tvr::server;

class TestServerListingText : public QObject
{
    Q_OBJECT

private slots:
    void recordTextMatchesQJsonDocument_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<qint64>("teamId");
        QTest::addColumn<qint64>("parentId");
        QTest::addColumn<QString>("trashedAt");
        QTest::newRow("plain file") << QStringLiteral("季度报告.pdf") << false << qint64(0) << qint64(0) << QString();
        QTest::newRow("folder in a folder") << QStringLiteral("项目") << true << qint64(0) << qint64(7) << QString();
        QTest::newRow("quotes and backslashes")
            << QStringLiteral(R"(a "b" \c\ .txt)") << false << qint64(0) << qint64(3) << QString();
        QTest::newRow("control characters")
            << QStringLiteral("a\tb\nc\rd\be\ff\x01g\x1fh\x7fi") << false << qint64(0) << qint64(0) << QString();
        QTest::newRow("emoji and slashes") << QStringLiteral("家庭 👨‍👩‍👧 </script>.jpg") << false
                                           << qint64(0) << qint64(0) << QString();
        QTest::newRow("team record in the trash")
            << QStringLiteral("旧.docx") << false << qint64(12) << qint64(5) << QStringLiteral("2024-05-01T02:10:00Z");
    }
    void recordTextMatchesQJsonDocument()
    {
        QFETCH(QString, name);
        QFETCH(bool, folder);
        QFETCH(qint64, teamId);
        QFETCH(qint64, parentId);
        QFETCH(QString, trashedAt);
        FileEntry entry;
        entry.id = 9007199254740993; // beyond a double's exact integers
        entry.ownerId = 4;
        entry.teamId = teamId;
        entry.parentId = parentId;
        entry.name = name;
        entry.isFolder = folder;
        entry.mimeType = QStringLiteral("application/pdf");
        entry.category = QStringLiteral("document");
        entry.size = 5000000000;
        entry.md5 = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");
        entry.createdAt = QStringLiteral("2024-04-01T00:00:00.000Z");
        entry.updatedAt = QStringLiteral("2024-05-02T08:30:00.000Z");
        entry.trashedAt = trashedAt;

        QByteArray text;
        entry.appendJson(text);
        QCOMPARE(text, QJsonDocument(entry.toJson()).toJson(QJsonDocument::Compact));
    }

    void everyCodeUnitBelowTheSurrogatesIsWrittenAsQtWritesIt()
    {
        QString all;
        for (char16_t c = 1; c < 0xd800; ++c)
            all.append(QChar(c));
        QByteArray text;
        JsonText::appendString(text, all);
        const QByteArray expected = QJsonDocument(QJsonArray{all}).toJson(QJsonDocument::Compact);
        QCOMPARE(text, expected.mid(1, expected.size() - 2));
    }
};

QTEST_APPLESS_MAIN(TestServerListingText)
#include "tst_server_listingtext.moc"
