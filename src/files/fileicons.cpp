#include "files/fileicons.h"

#include <QHash>
#include <QSet>

namespace {

const QString IconPrefix = QStringLiteral(":/resources/file-icons/");

struct ExtensionIcon
{
    QStringList extensions;
    QString icon;
};

// Checked in order: the first row that lists an extension wins.
const QList<ExtensionIcon> &extensionTable()
{
    static const QList<ExtensionIcon> table = {
        {{"doc", "docx"}, "doc.png"},
        {{"xls", "xlsx", "csv", "et"}, "xls.png"},
        {{"ppt", "pptx", "pps", "dps"}, "ppt.png"},
        {{"md"}, "md.png"},
        {{"cut"}, "cut.png"},
        {{"dat"}, "dat.png"},
        {{"dxf"}, "dxf.png"},
        {{"mdl"}, "mdl.png"},
        {{"mot"}, "mot.png"},
        {{"mtl"}, "mtl.png"},
        {{"pat"}, "pat.png"},
        {{"plt"}, "plt.png"},
        {{"slw"}, "slw.png"},
        {{"boke"}, "boke.png"},
        {{"hlw"}, "hlw.png"},
        {{"klw"}, "klw.png"},
        {{"nsp"}, "nsp.png"},
        {{"ntp"}, "ntp.png"},
        {{"sdt"}, "sdt.png"},
        {{"apk"}, "apk.png"},
        {{"exe", "msi", "dmg", "deb", "rpm", "cmd", "com"}, "exe.png"},
        {{"zip", "rar", "7z", "tar", "gz", "bz2", "xz"}, "zip.png"},
        {{"jpg", "jpeg", "png", "gif", "bmp", "webp", "svg", "ico", "tiff", "tif", "heic", "raw"}, "jpg.png"},
    };
    return table;
}

const QSet<QString> VideoExtensions = {"mp4", "webm", "m4v", "mov", "mkv",  "avi",
                                       "flv", "wmv",  "ts",  "mpg", "mpeg", "3gp"};
const QSet<QString> AudioExtensions = {"mp3", "wav", "flac", "aac", "ogg", "m4a", "wma", "ape"};
const QSet<QString> CodeExtensions = {"js",  "jsx",  "ts",   "tsx",  "mjs", "cjs",  "json",      "html",
                                      "htm", "css",  "scss", "less", "py",  "java", "c",         "h",
                                      "cpp", "cs",   "go",   "rs",   "php", "vue",  "sql",       "xml",
                                      "yml", "yaml", "ini",  "conf", "cfg", "env",  "gitignore", "lock"};

int g_decodeCount = 0;

} // namespace

QString fileIconName(const QString &name, bool isFolder, const QString &mimeType)
{
    if (isFolder)
        return QStringLiteral("folder.png");

    const QString lowerName = name.toLower();
    const QString mime = mimeType.toLower();
    const QString ext = lowerName.contains(QLatin1Char('.')) ? lowerName.section(QLatin1Char('.'), -1, -1) : QString();

    if (ext == QLatin1String("pdf") || mime == QLatin1String("application/pdf"))
        return QStringLiteral("pdf.png");
    if (!ext.isEmpty()) {
        for (const ExtensionIcon &row : extensionTable()) {
            if (row.extensions.contains(ext))
                return row.icon;
        }
    }
    if (mime.startsWith(QLatin1String("image/")))
        return QStringLiteral("jpg.png");
    // Video before code: ".ts" is far more often a video stream than a TypeScript file here.
    if (VideoExtensions.contains(ext) || mime.startsWith(QLatin1String("video/")))
        return QStringLiteral("mp4.png");
    if (AudioExtensions.contains(ext) || mime.startsWith(QLatin1String("audio/")))
        return QStringLiteral("mp3.png");
    if (CodeExtensions.contains(ext))
        return QStringLiteral("code.png");
    if (ext == QLatin1String("txt") || mime.startsWith(QLatin1String("text/")))
        return QStringLiteral("txt.png");
    return QStringLiteral("file.png");
}

QPixmap fileIcon(const QString &name, bool isFolder, const QString &mimeType, int size)
{
    // Every visible row asks on every repaint: decode and scale each picture once per size.
    static QHash<QString, QPixmap> cache;

    const QString iconName = fileIconName(name, isFolder, mimeType);
    const QString key = iconName + QLatin1Char('@') + QString::number(size);
    const auto hit = cache.constFind(key);
    if (hit != cache.constEnd())
        return hit.value();

    ++g_decodeCount;
    QPixmap picture(IconPrefix + iconName);
    if (!picture.isNull())
        picture = picture.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    cache.insert(key, picture);
    return picture;
}

int fileIconDecodeCount()
{
    return g_decodeCount;
}
