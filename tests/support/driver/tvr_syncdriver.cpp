// One sync engine in a process of its own, so that a test can kill it at any moment (SIGKILL)
// and start it again on the same folder and journal. The signed-in user's login payload (JSON,
// one line) comes on standard input, never on the command line, which other users can read.
// It prints "settled N" each time a round ends with nothing to do, and "state S" on changes.
//
//   tvr_syncdriver --server URL --local DIR --journal FILE [--folder ID] [--team ID]
//                  [--hint-ms N] [--stable-ms N] [--backoff-ms N] [--up-limit BYTES_PER_S]
//                  [--down-limit BYTES_PER_S]
#include "net/httpclient.h"
#include "net/session.h"
#include "sync/syncengine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

void say(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption server("server", "server base URL", "url");
    const QCommandLineOption local("local", "local folder", "dir");
    const QCommandLineOption journal("journal", "journal file", "file");
    const QCommandLineOption folder("folder", "server folder id", "id");
    const QCommandLineOption team("team", "team id", "id");
    const QCommandLineOption hint("hint-ms", "delay after a watcher hint", "ms", "50");
    const QCommandLineOption stable("stable-ms", "a file is stable after", "ms", "300");
    const QCommandLineOption backoff("backoff-ms", "first pause after a failure", "ms", "300");
    const QCommandLineOption upLimit("up-limit", "upload limit", "bytes/s", "0");
    const QCommandLineOption downLimit("down-limit", "download limit", "bytes/s", "0");
    parser.addOptions({server, local, journal, folder, team, hint, stable, backoff, upLimit, downLimit});
    parser.process(app);
    if (!parser.isSet(server) || !parser.isSet(local) || !parser.isSet(journal)) {
        std::fputs("--server, --local and --journal are needed\n", stderr);
        return 2;
    }
    qputenv("TVR_SERVER", parser.value(server).toUtf8());

    std::string line;
    std::getline(std::cin, line);
    const QJsonObject login = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
    if (!Session::instance()->applyLogin(login)) {
        std::fputs("no valid login on standard input\n", stderr);
        return 2;
    }
    if (const qint64 up = parser.value(upLimit).toLongLong(); up > 0)
        HttpClient::instance()->uploadLimiter().setRate(up);
    if (const qint64 down = parser.value(downLimit).toLongLong(); down > 0)
        HttpClient::instance()->downloadLimiter().setRate(down);

    SyncEngine engine(SyncEngine::Config{parser.value(local), parser.value(folder), parser.value(team), {}},
                      parser.value(journal));
    engine.setTimings(parser.value(hint).toInt(), parser.value(stable).toLongLong(), parser.value(backoff).toInt());
    QObject::connect(&engine, &SyncEngine::settled, &engine,
                     [&engine] { say("settled " + QByteArray::number(engine.quietRounds())); });
    QObject::connect(&engine, &SyncEngine::stateChanged, &engine,
                     [&engine] { say("state " + QByteArray::number(int(engine.state()))); });
    if (!engine.start()) {
        std::fprintf(stderr, "%s\n", engine.lastError().toUtf8().constData());
        return 1;
    }
    say("started");
    return app.exec();
}
