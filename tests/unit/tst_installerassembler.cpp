// InstallerAssembler: digesting the regions of one side file while they are still being written,
// in any order and in pieces; a file longer than its regions; cancel; and the SHA-512 it digests with.
#include "eventwait.h"
#include "update/installerassembler.h"
#include "update/sha512hash.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {
QByteArray content(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = seed;
    for (qint64 i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = char(state);
    }
    return bytes;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Collects what the worker reports, on the test's thread.
struct Outcomes
{
    QObject context;
    QList<InstallerAssembly> results;

    InstallerAssembler::Done callback()
    {
        return [this](const InstallerAssembly &result) {
            QMetaObject::invokeMethod(
                &context, [this, result] { results.append(result); }, Qt::QueuedConnection);
        };
    }
};

// Writes one region of the side file in pieces, as a segment does: open once, unbuffered, each
// piece after the last at the region's offset.
class PartWriter
{
public:
    PartWriter(const QString &path, qint64 offset, InstallerAssembler &assembler, int index)
        : m_file(path)
        , m_offset(offset)
        , m_assembler(assembler)
        , m_index(index)
    {
        m_file.open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    }
    bool append(const QByteArray &bytes)
    {
        if (!m_file.seek(m_offset + m_written) || m_file.write(bytes) != bytes.size())
            return false;
        m_written += bytes.size();
        m_assembler.setWritten(m_index, m_written);
        return true;
    }

private:
    QFile m_file;
    qint64 m_offset;
    InstallerAssembler &m_assembler;
    int m_index;
    qint64 m_written = 0;
};
} // namespace

class TestInstallerAssembler : public QObject
{
    Q_OBJECT

private slots:
    void sha512MatchesTheReference_data();
    void sha512MatchesTheReference();
    void regionsWrittenInPiecesAndOutOfOrderJoinWhole();
    void fileLongerThanItsRegionsIsIncomplete();
    void cancelWhileWaitingStopsWithoutReport();
};

void TestInstallerAssembler::sha512MatchesTheReference_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("piece");
    QTest::newRow("empty") << 0 << 1;
    QTest::newRow("one byte") << 1 << 1;
    QTest::newRow("block edge 111") << 111 << 111;
    QTest::newRow("block edge 112") << 112 << 7;
    QTest::newRow("two blocks") << 256 << 128;
    QTest::newRow("1 MiB + 7 in odd pieces") << 1048583 << 65521;
}

void TestInstallerAssembler::sha512MatchesTheReference()
{
    QFETCH(int, size);
    QFETCH(int, piece);
    const QByteArray bytes = content(size, 7);
    Sha512Hash hash;
    for (int offset = 0; offset < size; offset += piece)
        hash.addData(QByteArrayView(bytes.constData() + offset, qMin(piece, size - offset)));
    QCOMPARE(hash.result().toHex(), QCryptographicHash::hash(bytes, QCryptographicHash::Sha512).toHex());
}

void TestInstallerAssembler::regionsWrittenInPiecesAndOutOfOrderJoinWhole()
{
    QTemporaryDir dir;
    const QByteArray whole = content(4 * 300000 + 3, 11);
    const qint64 share = whole.size() / 4;
    QList<InstallerPart> parts;
    for (int i = 0; i < 4; ++i)
        parts.append({i * share, i == 3 ? whole.size() - 3 * share : share});
    const QString side = dir.filePath(QStringLiteral("setup.run.part"));
    const QString target = dir.filePath(QStringLiteral("setup.run"));
    QFile old(target);
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("an older installer") > 0);
    old.close();

    InstallerAssembler assembler(side, parts);
    std::vector<std::unique_ptr<PartWriter>> writers;
    for (int i = 0; i < 4; ++i)
        writers.push_back(std::make_unique<PartWriter>(side, parts.at(i).offset, assembler, i));
    Outcomes outcomes;
    assembler.start(target, outcomes.callback());
    const auto piece = [&](int index, qint64 from, qint64 length) {
        return writers[size_t(index)]->append(whole.mid(index * share + from, length));
    };
    // The last part first, the head in three pieces, the rest after it: the joiner follows, and
    // a joiner that did not wait would read short parts and report them incomplete.
    QVERIFY(piece(3, 0, parts.at(3).length));
    QVERIFY(piece(0, 0, 1000));
    QVERIFY(piece(1, 0, 5));
    QVERIFY(piece(0, 1000, 100000));
    QVERIFY(piece(0, 101000, share - 101000));
    QVERIFY(piece(1, 5, share - 5));
    QVERIFY(piece(2, 0, share));
    // Whole, but nothing is moved while a writer may still hold the side file open.
    QCOMPARE(readAll(target), QByteArray("an older installer"));
    writers.clear();
    assembler.writersClosed();
    QVERIFY(waitUntil([&] { return !outcomes.results.isEmpty(); }));
    QCOMPARE(outcomes.results.size(), 1);
    QCOMPARE(outcomes.results.constFirst().outcome, InstallerAssembly::Outcome::Joined);
    QCOMPARE(outcomes.results.constFirst().digestBase64,
             QCryptographicHash::hash(whole, QCryptographicHash::Sha512).toBase64());
    QCOMPARE(readAll(target), whole);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList(QStringLiteral("setup.run")));
}

void TestInstallerAssembler::fileLongerThanItsRegionsIsIncomplete()
{
    QTemporaryDir dir;
    const QString side = dir.filePath(QStringLiteral("a.part"));
    const QList<InstallerPart> parts{{0, 1000}, {1000, 1000}};
    InstallerAssembler assembler(side, parts);
    PartWriter first(side, 0, assembler, 0);
    PartWriter second(side, 1000, assembler, 1);
    Outcomes outcomes;
    assembler.start(dir.filePath(QStringLiteral("a")), outcomes.callback());
    QVERIFY(first.append(content(1000, 3)));
    // Its share was reported whole, but the file holds more than the regions.
    QVERIFY(second.append(content(1200, 5)));
    QVERIFY(waitUntil([&] { return !outcomes.results.isEmpty(); }));
    QCOMPARE(outcomes.results.constFirst().outcome, InstallerAssembly::Outcome::Incomplete);
}

void TestInstallerAssembler::cancelWhileWaitingStopsWithoutReport()
{
    QTemporaryDir dir;
    const QString side = dir.filePath(QStringLiteral("b.part"));
    const QList<InstallerPart> parts{{0, 4096}, {4096, 4096}};
    Outcomes outcomes;
    {
        InstallerAssembler assembler(side, parts);
        PartWriter first(side, 0, assembler, 0);
        PartWriter second(side, 4096, assembler, 1);
        assembler.start(dir.filePath(QStringLiteral("b")), outcomes.callback());
        QVERIFY(first.append(content(2048, 9)));
        // Returns only once the worker, waiting for more of the first part, has stopped.
        assembler.cancel();
        QVERIFY(second.append(content(4096, 9)));
    }
    // The worker has ended: anything it had posted is already queued.
    QCoreApplication::processEvents();
    QVERIFY(outcomes.results.isEmpty());
    // The side file is left for the caller, who knows whether to keep it.
    QVERIFY(QFile::exists(side));
}

QTEST_GUILESS_MAIN(TestInstallerAssembler)
#include "tst_installerassembler.moc"
