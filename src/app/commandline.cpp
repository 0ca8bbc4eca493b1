#include "app/commandline.h"

#include "app/startup.h"
#include "net/httpclient.h"
#include "update/updatechecker.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <cstring>

namespace {
constexpr char ProgramName[] = "tolvar-storage";

bool isEarlyOption(const char *arg)
{
    for (const char *option : {"--help", "-h", "--version", "-v"}) {
        if (std::strcmp(arg, option) == 0)
            return true;
    }
    return false;
}

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// The options this program knows; Qt's own (-platform, -style, ...) are gone by the time it parses.
void describe(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral("托尔瓦企业存储：企业云存储的桌面客户端。\n\n"
                                                    "环境变量：\n"
                                                    "  TVR_SERVER       服务地址（默认 %1）\n"
                                                    "  TVR_CA_FILE      额外信任的证书颁发机构（PEM 文件）\n"
                                                    "  QT_QPA_PLATFORM  图形平台，例如 offscreen 在无显示器时运行")
                                         .arg(QString::fromLatin1(HttpClient::DefaultBaseUrl)));
    parser.addOption(
        QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("显示帮助并退出")));
    parser.addOption(
        QCommandLineOption({QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("显示版本号并退出")));
}
} // namespace

namespace CommandLine {

QString versionText()
{
    return QStringLiteral("%1 %2\n").arg(QLatin1String(ProgramName), QLatin1String(UpdateChecker::CurrentVersion));
}

std::optional<int> answerEarly(int argc, char *argv[])
{
    bool asked = false;
    for (int i = 1; i < argc && !asked; ++i)
        asked = isEarlyOption(argv[i]);
    if (!asked)
        return std::nullopt;

    // The help text is built with a core application (for the program's name and the framework's
    // Chinese headings); it ends before the GUI would start.
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName(QLatin1String(ProgramName));
    QCoreApplication::setApplicationVersion(QLatin1String(UpdateChecker::CurrentVersion));
    Theme::installTranslation(core);
    QCommandLineParser parser;
    describe(parser);
    parser.parse(QCoreApplication::arguments());
    if (parser.isSet(QStringLiteral("help"))) {
        print(stdout, parser.helpText());
        return 0;
    }
    print(stdout, versionText());
    return 0;
}

std::optional<int> refuseUnknown(const QStringList &arguments)
{
    QCommandLineParser parser;
    describe(parser);
    if (parser.parse(arguments) && parser.unknownOptionNames().isEmpty())
        return std::nullopt;
    print(stderr, QStringLiteral("%1：无法识别的选项 %2\n请用 --help 查看可用的选项。\n")
                      .arg(QLatin1String(ProgramName), parser.unknownOptionNames().join(QLatin1Char(' '))));
    return 2;
}

} // namespace CommandLine
