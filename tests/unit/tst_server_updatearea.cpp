// The update download area: Range rules, safe names, the demo release and serving over HTTP.
#include "http/envelope.h"
#include "http/httpserver.h"
#include "http/rangeheader.h"
#include "http/router.h"
#include "updates/updatearea.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <httplib.h>

using namespace tvr::server;
using Kind = RangeHeader::Kind;

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QMap<QByteArray, QByteArray> topLevelKeys(const QByteArray &manifest)
{
    QMap<QByteArray, QByteArray> keys;
    for (const QByteArray &line : manifest.split('\n')) {
        if (line.isEmpty() || line.startsWith(' ') || line.startsWith('\t'))
            continue;
        const int colon = line.indexOf(':');
        if (colon > 0 && !keys.contains(line.left(colon).trimmed()))
            keys.insert(line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
    }
    return keys;
}

// The server's own HTTP transport on a loopback port serving one update area, read with an
// independent client.
class AreaServer
{
public:
    explicit AreaServer(const QString &root)
        : m_area(root)
    {
        m_area.registerRoutes(m_router);
        m_server = std::make_unique<http::Server>(m_router, http::Server::Options(), transportError);
        QString error;
        if (!m_server->start(&error))
            qWarning("cannot start: %s", qPrintable(error));
    }
    httplib::Client client() const { return httplib::Client("127.0.0.1", m_server->port()); }

private:
    UpdateArea m_area;
    http::Router m_router;
    std::unique_ptr<http::Server> m_server;
};

} // namespace

class TestServerUpdateArea : public QObject
{
    Q_OBJECT

private slots:
    void rangeHeaderFollowsHttpRules_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<int>("kind");
        QTest::addColumn<qint64>("first");
        QTest::addColumn<qint64>("last");
        QTest::newRow("absent") << QByteArray() << qint64(100) << int(Kind::None) << qint64(0) << qint64(-1);
        QTest::newRow("open end") << QByteArray("bytes=10-") << qint64(100) << int(Kind::Partial) << qint64(10)
                                  << qint64(99);
        QTest::newRow("closed") << QByteArray("bytes=0-0") << qint64(100) << int(Kind::Partial) << qint64(0)
                                << qint64(0);
        QTest::newRow("end clamped") << QByteArray("bytes=90-500") << qint64(100) << int(Kind::Partial) << qint64(90)
                                     << qint64(99);
        QTest::newRow("suffix") << QByteArray("bytes=-30") << qint64(100) << int(Kind::Partial) << qint64(70)
                                << qint64(99);
        QTest::newRow("suffix beyond size")
            << QByteArray("bytes=-300") << qint64(100) << int(Kind::Partial) << qint64(0) << qint64(99);
        QTest::newRow("start at end") << QByteArray("bytes=100-") << qint64(100) << int(Kind::Unsatisfiable)
                                      << qint64(0) << qint64(-1);
        QTest::newRow("start past end") << QByteArray("bytes=5000-6000") << qint64(100) << int(Kind::Unsatisfiable)
                                        << qint64(0) << qint64(-1);
        QTest::newRow("empty content") << QByteArray("bytes=0-") << qint64(0) << int(Kind::Unsatisfiable) << qint64(0)
                                       << qint64(-1);
        QTest::newRow("zero suffix") << QByteArray("bytes=-0") << qint64(100) << int(Kind::Unsatisfiable) << qint64(0)
                                     << qint64(-1);
        QTest::newRow("reversed") << QByteArray("bytes=50-10") << qint64(100) << int(Kind::None) << qint64(0)
                                  << qint64(-1);
        QTest::newRow("several") << QByteArray("bytes=0-1,5-6") << qint64(100) << int(Kind::None) << qint64(0)
                                 << qint64(-1);
        QTest::newRow("other unit") << QByteArray("items=0-1") << qint64(100) << int(Kind::None) << qint64(0)
                                    << qint64(-1);
        QTest::newRow("negative start") << QByteArray("bytes=-5-10") << qint64(100) << int(Kind::None) << qint64(0)
                                        << qint64(-1);
        QTest::newRow("garbage") << QByteArray("bytes=a-b") << qint64(100) << int(Kind::None) << qint64(0)
                                 << qint64(-1);
    }

    void rangeHeaderFollowsHttpRules()
    {
        QFETCH(QByteArray, header);
        QFETCH(qint64, total);
        QFETCH(int, kind);
        QFETCH(qint64, first);
        QFETCH(qint64, last);
        const RangeHeader range = RangeHeader::parse(header, total);
        QCOMPARE(int(range.kind), kind);
        if (range.kind == Kind::Partial) {
            QCOMPARE(range.first, first);
            QCOMPARE(range.last, last);
        }
    }

    void namesCannotEscapeTheArea()
    {
        QTemporaryDir dir;
        const QString root = dir.filePath(QStringLiteral("area"));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/chan")));
        QFile inside(root + QStringLiteral("/chan/app.exe"));
        QVERIFY(inside.open(QIODevice::WriteOnly));
        inside.write("x");
        inside.close();
        QFile outside(dir.filePath(QStringLiteral("secret.txt")));
        QVERIFY(outside.open(QIODevice::WriteOnly));
        outside.write("secret");
        outside.close();
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("secret.txt")), root + QStringLiteral("/chan/link.txt")));

        const UpdateArea area(root);
        QVERIFY(area.resolve(QStringLiteral("chan"), QStringLiteral("app.exe")));
        QVERIFY(!area.resolve(QStringLiteral(".."), QStringLiteral("secret.txt")));
        QVERIFY(!area.resolve(QStringLiteral("chan"), QStringLiteral("..")));
        QVERIFY(!area.resolve(QStringLiteral("chan"), QStringLiteral("../../secret.txt")));
        QVERIFY(!area.resolve(QStringLiteral("chan"), QStringLiteral(".hidden")));
        QVERIFY(!area.resolve(QStringLiteral("chan"), QStringLiteral("link.txt")));
        QVERIFY(!area.resolve(QStringLiteral("chan"), QStringLiteral("missing.exe")));
        QVERIFY(!area.resolve(QStringLiteral("."), QStringLiteral("chan")));
    }

    void demoReleaseIsNewerAndVerifiable()
    {
        QTemporaryDir dir;
        QVERIFY(UpdateArea::publishDemo(dir.path()));
        // The Linux channel carries a release of its own: a script that runs and exits at once.
        const QString linuxChannel = dir.filePath(QLatin1String(UpdateArea::DemoLinuxChannel));
        const auto linuxKeys = topLevelKeys(readFile(linuxChannel + QStringLiteral("/latest.yml")));
        QCOMPARE(linuxKeys.value("version"), QByteArray(UpdateArea::DemoVersion));
        const QByteArray linuxInstaller =
            readFile(linuxChannel + QLatin1Char('/') + QString::fromUtf8(linuxKeys.value("path")));
        QVERIFY(linuxKeys.value("path").endsWith(".run"));
        QVERIFY(linuxInstaller.startsWith("#!/bin/sh\n"));
        QCOMPARE(linuxKeys.value("sha512"),
                 QCryptographicHash::hash(linuxInstaller, QCryptographicHash::Sha512).toBase64());

        const QString channel = dir.filePath(QLatin1String(UpdateArea::DemoChannel));
        const QByteArray manifest = readFile(channel + QStringLiteral("/latest.yml"));
        const auto keys = topLevelKeys(manifest);
        QCOMPARE(keys.value("version"), QByteArray(UpdateArea::DemoVersion));
        const QByteArray path = keys.value("path");
        QVERIFY(!path.isEmpty());
        QVERIFY(!path.contains('/'));
        QVERIFY(path.endsWith(".exe"));
        const QByteArray installer = readFile(channel + QLatin1Char('/') + QString::fromUtf8(path));
        QVERIFY(installer.size() > 4 * 1024 * 1024); // large enough for a segmented download
        QCOMPARE(keys.value("sha512"), QCryptographicHash::hash(installer, QCryptographicHash::Sha512).toBase64());

        // A second publication keeps what is there (an operator's own release is never replaced).
        QFile::remove(channel + QLatin1Char('/') + QString::fromUtf8(path));
        QVERIFY(UpdateArea::publishDemo(dir.path()));
        QVERIFY(!QFile::exists(channel + QLatin1Char('/') + QString::fromUtf8(path)));
    }

    void servesManifestAndRangedInstallerOverHttp()
    {
        QTemporaryDir dir;
        QVERIFY(UpdateArea::publishDemo(dir.path()));
        const QString channel = dir.filePath(QLatin1String(UpdateArea::DemoChannel));
        const QByteArray path = topLevelKeys(readFile(channel + QStringLiteral("/latest.yml"))).value("path");
        const QByteArray installer = readFile(channel + QLatin1Char('/') + QString::fromUtf8(path));
        const qint64 total = installer.size();

        AreaServer server(dir.path());
        auto client = server.client();
        const std::string base = std::string("/downloads/") + UpdateArea::DemoChannel + "/";

        auto manifest = client.Get((base + "latest.yml").c_str());
        QVERIFY(manifest);
        QCOMPARE(manifest->status, 200);
        QVERIFY(QByteArray::fromStdString(manifest->body).contains("version: 2.2.0"));

        auto whole = client.Get((base + path.toStdString()).c_str());
        QVERIFY(whole);
        QCOMPARE(whole->status, 200);
        QCOMPARE(whole->get_header_value("Accept-Ranges"), std::string("bytes"));
        QCOMPARE(whole->get_header_value("Content-Length"), std::to_string(total));
        QVERIFY(QByteArray::fromStdString(whole->body) == installer);

        // The client's probe and one of its four segments.
        auto probe = client.Get((base + path.toStdString()).c_str(), {{"Range", "bytes=0-0"}});
        QVERIFY(probe);
        QCOMPARE(probe->status, 206);
        QCOMPARE(QByteArray::fromStdString(probe->get_header_value("Content-Range")),
                 "bytes 0-0/" + QByteArray::number(total));
        QCOMPARE(probe->body.size(), size_t(1));

        const qint64 quarter = total / 4;
        const std::string segment = "bytes=" + std::to_string(3 * quarter) + "-" + std::to_string(total - 1);
        auto last = client.Get((base + path.toStdString()).c_str(), {{"Range", segment}});
        QVERIFY(last);
        QCOMPARE(last->status, 206);
        QCOMPARE(last->get_header_value("Content-Length"), std::to_string(total - 3 * quarter));
        QVERIFY(QByteArray::fromStdString(last->body) == installer.mid(3 * quarter));

        auto resumed = client.Get((base + path.toStdString()).c_str(), {{"Range", "bytes=1000-"}});
        QVERIFY(resumed);
        QCOMPARE(resumed->status, 206);
        QVERIFY(QByteArray::fromStdString(resumed->body) == installer.mid(1000));

        auto beyond =
            client.Get((base + path.toStdString()).c_str(), {{"Range", "bytes=" + std::to_string(total) + "-"}});
        QVERIFY(beyond);
        QCOMPARE(beyond->status, 416);
        QCOMPARE(QByteArray::fromStdString(beyond->get_header_value("Content-Range")),
                 "bytes */" + QByteArray::number(total));

        auto missing = client.Get((base + "nothing.exe").c_str());
        QVERIFY(missing);
        QCOMPARE(missing->status, 404);
        auto escape = client.Get("/downloads/%2e%2e/latest.yml");
        QVERIFY(escape);
        QCOMPARE(escape->status, 404);
        auto listing = client.Get(base.c_str());
        QVERIFY(listing);
        QCOMPARE(listing->status, 404);
    }
};

QTEST_GUILESS_MAIN(TestServerUpdateArea)
#include "tst_server_updatearea.moc"
