// The multipart upload requests as the server receives them, and safeFileName.
#include "eventwait.h"
#include "scriptedserver.h"
#include "testsettings.h"
#include "transfer/safefilename.h"
#include "transfer/transferapi.h"

#include <QDir>
#include <QFile>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {
struct FormPart
{
    QByteArray disposition;
    QByteArray contentType;
    QByteArray body;
};

// Splits a multipart/form-data body by the boundary its Content-Type names.
QList<FormPart> parseForm(const RecordedRequest &request)
{
    const QByteArray type = request.header("Content-Type");
    const qsizetype at = type.indexOf("boundary=");
    if (!type.startsWith("multipart/form-data") || at < 0)
        return {};
    QByteArray boundary = type.mid(at + 9);
    if (boundary.startsWith('"'))
        boundary = boundary.mid(1, boundary.size() - 2);
    const QByteArray delimiter = "--" + boundary;

    QList<FormPart> parts;
    const QList<QByteArray> pieces = [&] {
        QList<QByteArray> result;
        qsizetype from = request.body.indexOf(delimiter);
        while (from >= 0) {
            const qsizetype start = from + delimiter.size();
            const qsizetype next = request.body.indexOf("\r\n" + delimiter, start);
            if (next < 0)
                break;
            result << request.body.mid(start, next - start);
            from = next + 2;
        }
        return result;
    }();
    for (QByteArray piece : pieces) {
        if (piece.startsWith("\r\n"))
            piece = piece.mid(2);
        const qsizetype headEnd = piece.indexOf("\r\n\r\n");
        FormPart part;
        for (const QByteArray &line : piece.left(headEnd).split('\n')) {
            const QByteArray trimmed = line.trimmed();
            if (trimmed.toLower().startsWith("content-disposition:"))
                part.disposition = trimmed.mid(20).trimmed();
            else if (trimmed.toLower().startsWith("content-type:"))
                part.contentType = trimmed.mid(13).trimmed();
        }
        part.body = piece.mid(headEnd + 4);
        parts << part;
    }
    return parts;
}
} // namespace

class TestTransferApi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void personalUploadSendsParentAndOpenableFiles();
    void rootUploadHasNoParentPart();
    void requestGoesOutEvenWithoutFiles();
    void teamUploadGoesToTheTeamPath();
    void fileNamesCannotBreakTheHeader();
    void safeFileName_data();
    void safeFileName();
    void longNamesKeepTheirExtension();
    void shorteningNeverEndsInDotOrSpace_data();
    void shorteningNeverEndsInDotOrSpace();

private:
    QString writeFile(const QString &name, const QByteArray &content);
    RecordedRequest send(const std::function<void(HttpCallback)> &issue);

    QTemporaryDir m_settingsDir;
    QTemporaryDir m_dir;
    ScriptedServer m_server;
};

void TestTransferApi::initTestCase()
{
    useSettingsFolder(m_settingsDir.path());
    QVERIFY(m_server.listen());
    qputenv("TVR_SERVER", m_server.baseUrl().toUtf8());
}

void TestTransferApi::init()
{
    m_server.clearRequests();
    m_server.on("POST", "/api/files/upload", ScriptedReply::success());
    m_server.on("POST", "/api/teams/*", ScriptedReply::success());
}

QString TestTransferApi::writeFile(const QString &name, const QByteArray &content)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(content);
    return path;
}

RecordedRequest TestTransferApi::send(const std::function<void(HttpCallback)> &issue)
{
    bool answered = false;
    bool ok = false;
    issue([&](const HttpResponse &response) {
        answered = true;
        ok = response.ok;
    });
    if (!waitUntil([&] { return answered; }) || !ok || m_server.requestCount() != 1)
        return {};
    return m_server.requests().constFirst();
}

void TestTransferApi::personalUploadSendsParentAndOpenableFiles()
{
    const QString text = writeFile(QStringLiteral("说明.txt"), "hello");
    const QString blob = writeFile(QStringLiteral("data.bin"), QByteArray(70000, '\x01'));
    const QString folder = m_dir.filePath(QStringLiteral("a-folder"));
    QVERIFY(QDir().mkpath(folder));
    const QString missing = m_dir.filePath(QStringLiteral("missing.txt"));

    const RecordedRequest request = send([&](HttpCallback done) {
        Api::uploadFiles({text, folder, missing, blob}, QStringLiteral("p-12"), std::move(done));
    });
    QCOMPARE(request.target, QByteArray("/api/files/upload"));
    QCOMPARE(request.header("X-TVR-Client"), QByteArray("1"));
    const QList<FormPart> parts = parseForm(request);
    QCOMPARE(parts.size(), 3);
    QCOMPARE(parts.at(0).disposition, QByteArray("form-data; name=\"parent_id\""));
    QCOMPARE(parts.at(0).body, QByteArray("p-12"));
    QCOMPARE(parts.at(1).disposition,
             "form-data; name=\"files\"; filename=\"" + QStringLiteral("说明.txt").toUtf8() + '"');
    QCOMPARE(parts.at(1).contentType, QByteArray("text/plain"));
    QCOMPARE(parts.at(1).body, QByteArray("hello"));
    QCOMPARE(parts.at(2).disposition, QByteArray("form-data; name=\"files\"; filename=\"data.bin\""));
    QCOMPARE(parts.at(2).contentType, QMimeDatabase().mimeTypeForFile(blob).name().toUtf8());
    QCOMPARE(parts.at(2).body, QByteArray(70000, '\x01'));
}

void TestTransferApi::rootUploadHasNoParentPart()
{
    const QString text = writeFile(QStringLiteral("a.txt"), "a");
    const RecordedRequest request =
        send([&](HttpCallback done) { Api::uploadFiles({text}, QString(), std::move(done)); });
    const QList<FormPart> parts = parseForm(request);
    QCOMPARE(parts.size(), 1);
    QVERIFY(parts.at(0).disposition.contains("name=\"files\""));
}

void TestTransferApi::requestGoesOutEvenWithoutFiles()
{
    const RecordedRequest request =
        send([&](HttpCallback done) { Api::uploadFiles({m_dir.path()}, QStringLiteral("p-1"), std::move(done)); });
    QCOMPARE(request.method, QByteArray("POST"));
    const QList<FormPart> parts = parseForm(request);
    QCOMPARE(parts.size(), 1);
    QCOMPARE(parts.at(0).disposition, QByteArray("form-data; name=\"parent_id\""));
}

void TestTransferApi::teamUploadGoesToTheTeamPath()
{
    const QString text = writeFile(QStringLiteral("t.txt"), "team");
    const RecordedRequest request = send([&](HttpCallback done) {
        Api::uploadTeamFiles(QStringLiteral("team 1/x"), {text}, QStringLiteral("f-2"), std::move(done));
    });
    QCOMPARE(request.target, QByteArray("/api/teams/team%201%2Fx/files/upload"));
    const QList<FormPart> parts = parseForm(request);
    QCOMPARE(parts.size(), 2);
    QCOMPARE(parts.at(0).body, QByteArray("f-2"));
    QCOMPARE(parts.at(1).body, QByteArray("team"));
}

void TestTransferApi::fileNamesCannotBreakTheHeader()
{
    const QString odd = writeFile(QStringLiteral("say \"hi\"\nX-Injected: 1.txt"), "odd");
    QVERIFY(!odd.isEmpty());
    const RecordedRequest request =
        send([&](HttpCallback done) { Api::uploadFiles({odd}, QString(), std::move(done)); });
    const QList<FormPart> parts = parseForm(request);
    QCOMPARE(parts.size(), 1);
    QCOMPARE(parts.at(0).disposition,
             QByteArray("form-data; name=\"files\"; filename=\"say %22hi%22%0AX-Injected: 1.txt\""));
    QCOMPARE(parts.at(0).body, QByteArray("odd"));
}

void TestTransferApi::safeFileName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << "报告 2024.pdf"
                           << "报告 2024.pdf";
    QTest::newRow("posix path") << "a/b/c.txt"
                                << "c.txt";
    QTest::newRow("windows path") << "C:\\Users\\x\\d.doc"
                                  << "d.doc";
    QTest::newRow("parent") << "../.."
                            << "download";
    QTest::newRow("dots only") << "..."
                               << "download";
    QTest::newRow("trailing dots and spaces") << "name.txt. . "
                                              << "name.txt";
    QTest::newRow("device name") << "CON.txt"
                                 << "_CON.txt";
    QTest::newRow("device lower") << "lpt1"
                                  << "_lpt1";
    QTest::newRow("not a device") << "console.txt"
                                  << "console.txt";
    QTest::newRow("control and delete") << QString::fromLatin1("a\x01"
                                                               "b\x7f"
                                                               "c")
                                        << "abc";
    QTest::newRow("direction override") << QStringLiteral("invoice\u202Efdp.exe") << "invoicefdp.exe";
    QTest::newRow("hidden file kept") << ".bashrc"
                                      << ".bashrc";
}

void TestTransferApi::safeFileName()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(::safeFileName(name), expected);
}

void TestTransferApi::longNamesKeepTheirExtension()
{
    const QString safe = ::safeFileName(QString(300, QChar(0x5B57)) + QStringLiteral(".txt"));
    QVERIFY(safe.endsWith(QLatin1String(".txt")));
    QVERIFY(safe.toUtf8().size() <= 200);
    QVERIFY(safe.size() > 60);
    QCOMPARE(::safeFileName(QString(250, 'a')), QString(200, 'a'));
}

void TestTransferApi::shorteningNeverEndsInDotOrSpace_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    // Found by fuzz/safe_file_name: the cut fell right after a dot, and the next call gave another name.
    QTest::newRow("cut after a dot") << QString(199, 'a') + QLatin1Char('.') + QString(50, 'b') << QString(199, 'a');
    QTest::newRow("cut after a space") << QString(199, 'a') + QLatin1Char(' ') + QString(50, 'b') << QString(199, 'a');
    QTest::newRow("cut leaves a device name")
        << QStringLiteral("CON") + QString(197, ' ') + QStringLiteral("xyz") << QStringLiteral("_CON");
    QTest::newRow("cut leaves only dots")
        << QStringLiteral(". ").repeated(150) + QString(20, 'x') << QStringLiteral("download");
}

void TestTransferApi::shorteningNeverEndsInDotOrSpace()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    const QString safe = ::safeFileName(name);
    QCOMPARE(safe, expected);
    QCOMPARE(::safeFileName(safe), safe);
}

QTEST_GUILESS_MAIN(TestTransferApi)
#include "tst_transferapi.moc"
