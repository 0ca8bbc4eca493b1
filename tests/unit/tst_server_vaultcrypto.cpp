// Vault encryption at rest: key derivation, the password verifier and the block format.
#include "vault/vaultdecryptor.h"
#include "vault/vaultencryptor.h"
#include "vault/vaultformat.h"
#include "vault/vaultkey.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace tvr::server;

namespace {

// Cheap scrypt cost for tests; the format and the checks are the same at any cost.
constexpr int TestCost = 10;
constexpr quint32 SmallBlock = 1024;

QByteArray pattern(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + i / 7) & 0xFF);
    return bytes;
}

QByteArray keyFor(const QByteArray &password)
{
    auto created = VaultKey::create(password, TestCost);
    return created ? created->key : QByteArray();
}

bool encryptTo(const QString &path, const QByteArray &key, const QByteArray &plain, qint64 writeSlice)
{
    VaultEncryptor encryptor(key, SmallBlock);
    if (!encryptor.open(path))
        return false;
    for (qint64 at = 0; at < plain.size(); at += writeSlice) {
        if (!encryptor.write(plain.constData() + at, qMin(writeSlice, plain.size() - at)))
            return false;
    }
    return encryptor.finish() && encryptor.plainBytes() == plain.size();
}

// Everything the decryptor hands out, and whether it reached the end without a failure.
QPair<bool, QByteArray> decryptAll(const QString &path, const QByteArray &key)
{
    VaultDecryptor decryptor(key);
    QByteArray out;
    if (!decryptor.open(path))
        return {false, out};
    while (!decryptor.atEnd()) {
        QByteArray block;
        if (!decryptor.readBlock(&block))
            return {false, out};
        out.append(block);
    }
    return {out.size() == decryptor.plainBytes(), out};
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class TestServerVaultCrypto : public QObject
{
    Q_OBJECT

private slots:
    void passwordUnlocksOnlyItsOwnRecord()
    {
        auto created = VaultKey::create("correct horse", TestCost);
        QVERIFY(created);
        QCOMPARE(created->key.size(), VaultKey::KeyBytes);
        const auto again = VaultKey::unlock(created->record, "correct horse");
        QVERIFY(again);
        QCOMPARE(*again, created->key);
        QVERIFY(!VaultKey::unlock(created->record, "correct horsE"));
        QVERIFY(!VaultKey::unlock(created->record, ""));

        // The same password gives another salt and another key for another vault.
        auto other = VaultKey::create("correct horse", TestCost);
        QVERIFY(other);
        QVERIFY(other->record.salt != created->record.salt);
        QVERIFY(other->key != created->key);
        // The stored verifier is not the key.
        QVERIFY(!created->record.verifier.contains(created->key.left(16)));
    }

    void recordSurvivesStorageAndRejectsDamage()
    {
        auto created = VaultKey::create("secret-1", TestCost);
        QVERIFY(created);
        const QString stored = created->record.encode();
        QVERIFY(!stored.contains(QLatin1String("secret-1")));
        const auto decoded = VaultKeyRecord::decode(stored);
        QVERIFY(decoded);
        QCOMPARE(VaultKey::unlock(*decoded, "secret-1").value_or(QByteArray()), created->key);

        QVERIFY(!VaultKeyRecord::decode(QString()));
        QVERIFY(!VaultKeyRecord::decode(QStringLiteral("md5$x")));
        QString hugeCost = stored;
        hugeCost.replace(QStringLiteral("scrypt$10$"), QStringLiteral("scrypt$40$"));
        QVERIFY(!VaultKeyRecord::decode(hugeCost));
        QString badSalt = stored;
        badSalt.replace(QStringLiteral("scrypt$10$8$1$"), QStringLiteral("scrypt$10$8$1$!!"));
        QVERIFY(!VaultKeyRecord::decode(badSalt));
    }

    void defaultCostDerivesAKey()
    {
        auto created = VaultKey::create("default-cost");
        QVERIFY(created);
        QCOMPARE(created->record.costLog2, 15);
        QVERIFY(VaultKey::unlock(created->record, "default-cost"));
    }

    void roundTripsEverySizeAroundBlockEdges_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("slice");
        QTest::newRow("empty") << qint64(0) << qint64(1);
        QTest::newRow("one byte") << qint64(1) << qint64(1);
        QTest::newRow("block minus one") << qint64(SmallBlock - 1) << qint64(100);
        QTest::newRow("exact block") << qint64(SmallBlock) << qint64(SmallBlock);
        QTest::newRow("block plus one") << qint64(SmallBlock + 1) << qint64(7);
        QTest::newRow("three blocks") << qint64(3 * SmallBlock) << qint64(5000);
        QTest::newRow("many blocks") << qint64(50 * SmallBlock + 17) << qint64(333);
    }

    void roundTripsEverySizeAroundBlockEdges()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, slice);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("blob"));
        const QByteArray key = keyFor("pw123456");
        const QByteArray plain = pattern(size);
        QVERIFY(encryptTo(path, key, plain, slice));
        const auto [ok, out] = decryptAll(path, key);
        QVERIFY(ok);
        QCOMPARE(out, plain);
    }

    void bytesOnDiskAreNotThePlaintext()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("blob"));
        QByteArray plain;
        for (int i = 0; i < 200; ++i)
            plain += "confidential quarterly figures line ";
        QVERIFY(encryptTo(path, keyFor("pw123456"), plain, 4096));
        const QByteArray disk = readFile(path);
        QVERIFY(disk.startsWith("TVRVAULT"));
        QVERIFY(!disk.contains("confidential"));
        QCOMPARE(disk.size(), vaultformat::HeaderBytes + plain.size() +
                                  ((plain.size() + SmallBlock - 1) / SmallBlock) * vaultformat::TagBytes);
    }

    void wrongKeyYieldsNoBytes()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("blob"));
        QVERIFY(encryptTo(path, keyFor("right-password"), pattern(5000), 5000));
        const auto [ok, out] = decryptAll(path, keyFor("wrong-password"));
        QVERIFY(!ok);
        QVERIFY(out.isEmpty());
    }

    void alteredTruncatedOrReorderedFilesAreRefused()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("blob"));
        const QByteArray key = keyFor("pw123456");
        const QByteArray plain = pattern(3 * SmallBlock + 10);
        QVERIFY(encryptTo(path, key, plain, 999));
        const QByteArray sealed = readFile(path);
        const int block = int(SmallBlock) + vaultformat::TagBytes;
        const int h = vaultformat::HeaderBytes;

        QByteArray flipped = sealed;
        flipped[h + block + 5] = char(flipped[h + block + 5] ^ 0x01);
        writeFile(path, flipped);
        auto result = decryptAll(path, key);
        QVERIFY(!result.first);
        QCOMPARE(result.second, plain.left(SmallBlock)); // only the blocks before the damage

        QByteArray headerChanged = sealed;
        headerChanged[h - 1] = char(headerChanged[h - 1] ^ 0x01); // the file salt
        writeFile(path, headerChanged);
        QVERIFY(decryptAll(path, key).second.isEmpty());

        // Dropping the short final block leaves whole blocks, none of them marked final.
        writeFile(path, sealed.left(h + 3 * block));
        QVERIFY(!decryptAll(path, key).first);

        QByteArray swapped =
            sealed.left(h) + sealed.mid(h + block, block) + sealed.mid(h, block) + sealed.mid(h + 2 * block);
        writeFile(path, swapped);
        QVERIFY(decryptAll(path, key).second.isEmpty());

        writeFile(path, sealed.left(h + 5));
        QVERIFY(!decryptAll(path, key).first);
        writeFile(path, QByteArray("not a vault file at all, just text that is long enough to pass"));
        VaultDecryptor decryptor(key);
        QVERIFY(!decryptor.open(path));
    }

    void blocksMovedBetweenFilesAreRefused()
    {
        QTemporaryDir dir;
        const QByteArray key = keyFor("pw123456");
        const QString a = dir.filePath(QStringLiteral("a"));
        const QString b = dir.filePath(QStringLiteral("b"));
        QVERIFY(encryptTo(a, key, pattern(2 * SmallBlock), 100));
        QVERIFY(encryptTo(b, key, QByteArray(2 * SmallBlock, 'x'), 100));
        const QByteArray sealedA = readFile(a);
        const QByteArray sealedB = readFile(b);
        // b's header with a's blocks: each file has its own key, so nothing authenticates.
        writeFile(b, sealedB.left(vaultformat::HeaderBytes) + sealedA.mid(vaultformat::HeaderBytes));
        QVERIFY(decryptAll(b, key).second.isEmpty());
    }

    void unfinishedEncryptionLeavesNoFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("blob"));
        {
            VaultEncryptor encryptor(keyFor("pw123456"), SmallBlock);
            QVERIFY(encryptor.open(path));
            const QByteArray part = pattern(5 * SmallBlock);
            QVERIFY(encryptor.write(part.constData(), part.size()));
        }
        QVERIFY(!QFile::exists(path));
        VaultEncryptor withoutKey(QByteArray("short"), SmallBlock);
        QVERIFY(!withoutKey.open(path));
        QVERIFY(!QFile::exists(path));
    }
};

QTEST_GUILESS_MAIN(TestServerVaultCrypto)
#include "tst_server_vaultcrypto.moc"
