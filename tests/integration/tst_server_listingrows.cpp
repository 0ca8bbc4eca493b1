// A listing's records written straight from the database's rows (RawRow, ListingText and the
// UTF-8 escaper) must be the very bytes the QVariant, FileEntry and QJsonDocument way writes,
// for names with quotes, backslashes, control characters, CJK, emoji and broken UTF-8. Runs on
// SQLite and, as the _pg test, on PostgreSQL.
#include "files/listingtext.h"
#include "http/chunkedtext.h"
#include "http/jsontext.h"
#include "postgresfixture.h"
#include "storage/database.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <cstring>

using tvr::server::ChunkedText;
using tvr::server::Database;
using tvr::server::ListingText;
using tvr::server::RawRow;
namespace JsonText = tvr::server::JsonText;

static const char *const SelectFiles =
    "SELECT id, owner_id, COALESCE(team_id, 0), COALESCE(parent_id, 0), name, type, mime_type, category, size, "
    "COALESCE(blob_hash, ''), md5, created_at, updated_at, COALESCE(trashed_at, ''), COALESCE(trash_root, 0) "
    "FROM files ORDER BY id";

class TestServerListingRows final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void escaperWritesWhatTheQStringWriterWrites();
    void recordsMatchTheJsonDocumentTextForTrickyNames();
    void brokenUtf8IsReplacedAsTheDecoderDoes();
    void rawRowReadsIntegersAndTextAsStored();
    void chunkedTextReadsBackWhatWasWrittenAcrossBlocks();

private:
    bool postgres() const { return PostgresFixture::requested(); }
    qint64 insert(const QVariant &name, const QString &type, qint64 teamId = 0, qint64 parentId = 0,
                  const QString &trashedAt = QString());
    // Both ways over every row of the table; false (with a message) at the first difference.
    bool bothWaysAgree(QString *difference);

    QTemporaryDir m_dir;
    QString m_location;
    std::unique_ptr<Database> m_db;
    int m_databases = 0;
    qint64 m_nextId = 1;
};

static QByteArray viaQString(const QByteArray &utf8)
{
    QByteArray text;
    JsonText::appendString(text, QString::fromUtf8(utf8));
    return text;
}

static QByteArray viaUtf8(const QByteArray &utf8)
{
    std::string text = "[";
    JsonText::appendUtf8String(text, utf8);
    return QByteArray::fromStdString(text.substr(1));
}

void TestServerListingRows::init()
{
    QString error;
    if (postgres()) {
        PostgresFixture *cluster = PostgresFixture::shared(&error);
        m_location = cluster ? cluster->createDatabase(&error) : QString();
    } else {
        m_location = QStringLiteral("sqlite:") + m_dir.filePath(QStringLiteral("listing-%1.db").arg(++m_databases));
    }
    QVERIFY2(!m_location.isEmpty(), qPrintable(error));
    m_db = std::make_unique<Database>();
    QVERIFY2(m_db->open(m_location, &error), qPrintable(error));
    QVERIFY(m_db->execScript(
        "CREATE TABLE files(id INTEGER PRIMARY KEY, owner_id INTEGER NOT NULL, team_id INTEGER, parent_id INTEGER, "
        "name TEXT NOT NULL, type TEXT NOT NULL, mime_type TEXT, category TEXT, size INTEGER NOT NULL, "
        "blob_hash TEXT, md5 TEXT, created_at TEXT, updated_at TEXT, trashed_at TEXT, trash_root INTEGER)"));
    m_nextId = 1;
}

void TestServerListingRows::cleanup()
{
    m_db.reset();
    if (postgres())
        if (PostgresFixture *cluster = PostgresFixture::shared(nullptr))
            cluster->dropDatabase(m_location);
}

qint64 TestServerListingRows::insert(const QVariant &name, const QString &type, qint64 teamId, qint64 parentId,
                                     const QString &trashedAt)
{
    const qint64 id = m_nextId++;
    const bool ok = m_db->exec(
        "INSERT INTO files(id, owner_id, team_id, parent_id, name, type, mime_type, category, size, blob_hash, md5, "
        "created_at, updated_at, trashed_at, trash_root) VALUES(?1, ?2, ?3, ?4, CAST(?5 AS TEXT), ?6, ?7, ?8, ?9, "
        "?10, ?11, ?12, ?13, ?14, ?15)",
        {id, qint64(7), teamId > 0 ? QVariant(teamId) : QVariant(), parentId > 0 ? QVariant(parentId) : QVariant(),
         name, type, QStringLiteral("text/plain; charset=\"utf-8\""), QStringLiteral("document"),
         qint64(9007199254740993) + id, QStringLiteral("ab12"), id % 2 ? QVariant() : QVariant(QStringLiteral("d41d")),
         QStringLiteral("2024-05-01T02:10:00.000Z"), QStringLiteral("2024-05-02T08:30:00.000Z"),
         trashedAt.isEmpty() ? QVariant() : QVariant(trashedAt), trashedAt.isEmpty() ? QVariant() : QVariant(id)});
    return ok ? id : 0;
}

bool TestServerListingRows::bothWaysAgree(QString *difference)
{
    QList<QByteArray> fast;
    const bool rawOk = m_db->queryRaw(SelectFiles, {}, [&fast](const RawRow &row) {
        ChunkedText text;
        ListingText::appendRecord(text, row);
        fast.append(QByteArray::fromStdString(text.toString()));
    });
    QList<QByteArray> old;
    const bool eachOk = m_db->queryEach(SelectFiles, {}, [&old](const QVariantList &row) {
        old.append(QJsonDocument(ListingText::entry(row).toJson()).toJson(QJsonDocument::Compact));
    });
    if (!rawOk || !eachOk || fast.size() != old.size() || fast.isEmpty()) {
        *difference = QStringLiteral("rows: %1 against %2").arg(fast.size()).arg(old.size());
        return false;
    }
    for (int i = 0; i < fast.size(); ++i) {
        if (fast.at(i) != old.at(i)) {
            *difference = QString::fromUtf8("\n  fast: " + fast.at(i).toHex(' ') + "\n  old:  " + old.at(i).toHex(' '));
            return false;
        }
    }
    return true;
}

void TestServerListingRows::escaperWritesWhatTheQStringWriterWrites()
{
    if (postgres())
        QSKIP("No database involved: the SQLite run covers it");
    QList<QByteArray> samples = {
        "",
        "plain.txt",
        "say \"hi\"",
        "back\\slash\\\\",
        "tab\there\nnew\rline\b\f",
        QByteArray("nul\0in", 6),
        "\x01\x1f\x7f",
        "季度报告-2024.pdf",
        "emoji 😀👨‍👩‍👧 end",
        "e\xcc\x81",
        "\xef\xbf\xbe \xef\xb7\x90",
        "\xe2\x80\xa8\xe2\x80\xa9",
        "\xf4\x8f\xbf\xbf",
        "\xef\xbb\xbf"
        "bom",
        "mid\xef\xbb\xbf"
        "bom",
        "\xc0\xaf",
        "\xc1\xbf",
        "\xe0\x9f\xbf",
        "\xed\xa0\x80",
        "\xed\xbf\xbf",
        "\xf0\x8f\xbf\xbf",
        "\xf4\x90\x80\x80",
        "\xf5\x80\x80\x80",
        "\xff",
        "\x80",
        "cut \xe4\xbd",
        "cut \xf0\x9f\x98",
        "\xe4\xbd\"",
    };
    // Random bytes, most of them near the interesting boundaries: lead bytes, continuation bytes,
    // controls and the two characters JSON escapes.
    QRandomGenerator random(26);
    static const unsigned char Alphabet[] = {0x00, 0x01, 0x08, 0x1f, 0x20, '"',  '\\', 'a',  0x7f, 0x80,
                                             0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xc2, 0xdf, 0xe0, 0xe4,
                                             0xed, 0xef, 0xf0, 0xf4, 0xf5, 0xff, 0xbb, 0xbd};
    for (int n = 0; n < 20000; ++n) {
        QByteArray bytes;
        const int length = int(random.bounded(9));
        for (int i = 0; i < length; ++i)
            bytes += char(Alphabet[random.bounded(int(sizeof Alphabet))]);
        samples.append(bytes);
    }
    for (const QByteArray &sample : std::as_const(samples))
        QVERIFY2(viaUtf8(sample) == viaQString(sample), sample.toHex(' ').constData());
}

void TestServerListingRows::recordsMatchTheJsonDocumentTextForTrickyNames()
{
    const QStringList names = {
        QStringLiteral("报告 \"终稿\".docx"),
        QStringLiteral("C:\\temp\\a\\\\b"),
        QStringLiteral("控制\x01\x02\x1f\x7f字符\t\n\r\b\f"),
        QStringLiteral("emoji 😀👨‍👩‍👧 🏳️‍🌈"),
        QStringLiteral("e\u0301 \u00e9 \u2028\u2029 \ufeff \ufffe \ufdd0"),
        QStringLiteral("\U0010FFFF.bin"),
        QStringLiteral("</script><b>&amp;"),
        QStringLiteral("季度报告-99999.pdf"),
    };
    for (const QString &name : names) {
        QVERIFY(insert(name, QStringLiteral("file")) > 0);
        QVERIFY(insert(name, QStringLiteral("folder"), 0, 1) > 0);
        QVERIFY(insert(name, QStringLiteral("file"), 3, 2, QStringLiteral("2024-06-01T00:00:00.000Z")) > 0);
    }
    QString difference;
    QVERIFY2(bothWaysAgree(&difference), qPrintable(difference));
}

void TestServerListingRows::brokenUtf8IsReplacedAsTheDecoderDoes()
{
    if (postgres())
        QSKIP("PostgreSQL refuses text that is not UTF-8");
    const QList<QByteArray> names = {"\xc0\xaf.txt",
                                     "\xed\xa0\x80\xed\xb0\x80",
                                     "\xf4\x90\x80\x80",
                                     "cut \xe4\xbd",
                                     "\x80\x80",
                                     "\xef\xbb\xbf"
                                     "bom.txt",
                                     "\xff\xfe"};
    for (const QByteArray &name : names)
        QVERIFY(insert(name, QStringLiteral("file")) > 0);
    QString difference;
    QVERIFY2(bothWaysAgree(&difference), qPrintable(difference));
}

void TestServerListingRows::rawRowReadsIntegersAndTextAsStored()
{
    QVERIFY(insert(QStringLiteral("名字"), QStringLiteral("file"), 0, 0) == 1);
    QVERIFY(m_db->exec("UPDATE files SET owner_id = ?1 WHERE id = 1", {qint64(-9223372036854775807LL)}));
    int rows = 0;
    QVERIFY(m_db->queryRaw("SELECT id, owner_id, size, team_id, name, md5, mime_type FROM files", {},
                           [&rows](const RawRow &row) {
                               ++rows;
                               QCOMPARE(row.columns(), 7);
                               QCOMPARE(row.integer(0), qint64(1));
                               QCOMPARE(row.integer(1), qint64(-9223372036854775807LL));
                               QCOMPARE(row.integer(2), qint64(9007199254740994));
                               QVERIFY(row.isNull(3));
                               QCOMPARE(row.integer(3), qint64(0));
                               QVERIFY(!row.isNull(4));
                               QCOMPARE(row.text(4), QByteArrayView("名字"));
                               QVERIFY(row.isNull(5));
                               QVERIFY(row.text(5).isEmpty());
                               QCOMPARE(row.text(6), QByteArrayView("text/plain; charset=\"utf-8\""));
                           }));
    QCOMPARE(rows, 1);
    // A failing statement answers false, rows or not.
    QVERIFY(!m_db->queryRaw("SELECT nothing FROM nowhere", {}, [](const RawRow &) {}));
}

void TestServerListingRows::chunkedTextReadsBackWhatWasWrittenAcrossBlocks()
{
    if (postgres())
        QSKIP("No database involved: the SQLite run covers it");
    ChunkedText chunked;
    std::string expected;
    QRandomGenerator random(7);
    // Small pieces, pieces that do not fit the rest of a block, and one larger than a block.
    for (int piece = 0; expected.size() < 3 * ChunkedText::BlockSize; ++piece) {
        const size_t length =
            piece == 40 ? ChunkedText::BlockSize + 17 : size_t(random.bounded(piece % 7 ? 300 : 90000));
        std::string text(length, '\0');
        for (char &c : text)
            c = char('a' + random.bounded(26));
        if (piece % 2) {
            chunked.append(text);
        } else {
            // Room for more than is written, as the listing asks for.
            char *to = chunked.reserve(length * 3 + 10);
            std::memcpy(to, text.data(), length);
            chunked.commit(to + length);
        }
        expected += text;
    }
    QCOMPARE(chunked.size(), qint64(expected.size()));
    QVERIFY(chunked.toString() == expected);
    // Read as the transport does, in pieces of its own size, then again from the start and from
    // the middle.
    for (const quint64 start : {quint64(0), quint64(0), quint64(expected.size() / 2 + 3)}) {
        std::string read;
        char buffer[65521];
        for (quint64 offset = start;;) {
            const size_t n = chunked.read(offset, buffer, sizeof buffer);
            if (n == 0)
                break;
            read.append(buffer, n);
            offset += n;
        }
        QVERIFY(read == expected.substr(size_t(start)));
    }
}

QTEST_GUILESS_MAIN(TestServerListingRows)
#include "tst_server_listingrows.moc"
