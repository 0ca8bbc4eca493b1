#include "demo/demofiles.h"

#include "core/servercontext.h"
#include "files/blobstore.h"
#include "files/blobwriter.h"
#include "files/filetree.h"
#include "storage/transaction.h"

#include <QtEndian>
#include <archive.h>
#include <archive_entry.h>
#include <cmath>
#include <memory>

namespace tvr::server {

namespace {

quint32 crc32(const QByteArray &data)
{
    static quint32 table[256];
    static bool ready = false;
    if (!ready) {
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        ready = true;
    }
    quint32 c = 0xffffffffu;
    for (const char byte : data)
        c = table[(c ^ quint8(byte)) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

void put32be(QByteArray &out, quint32 v)
{
    char b[4];
    qToBigEndian(v, b);
    out.append(b, 4);
}

void put32le(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

void put16le(QByteArray &out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void pngChunk(QByteArray &out, const char *type, const QByteArray &data)
{
    put32be(out, quint32(data.size()));
    const QByteArray typed = QByteArray(type, 4) + data;
    out += typed;
    put32be(out, crc32(typed));
}

// A RIFF chunk: four-character code, little-endian length, data, padding to an even size.
QByteArray riff(const char *code, const QByteArray &data)
{
    QByteArray out(code, 4);
    put32le(out, quint32(data.size()));
    out += data;
    if (data.size() % 2)
        out.append('\0');
    return out;
}

QByteArray riffList(const char *type, const QByteArray &body)
{
    return riff("LIST", QByteArray(type, 4) + body);
}

// HSV (hue 0-359, saturation and value 0-255) to RGB.
void hsvToRgb(int h, int s, int v, int rgb[3])
{
    const double c = v / 255.0 * s / 255.0;
    const double x = c * (1 - std::fabs(std::fmod(h / 60.0, 2) - 1));
    const double m = v / 255.0 - c;
    double r = 0, g = 0, b = 0;
    switch (h / 60) {
    case 0:
        r = c, g = x;
        break;
    case 1:
        r = x, g = c;
        break;
    case 2:
        g = c, b = x;
        break;
    case 3:
        g = x, b = c;
        break;
    case 4:
        r = x, b = c;
        break;
    default:
        r = c, b = x;
        break;
    }
    rgb[0] = int((r + m) * 255);
    rgb[1] = int((g + m) * 255);
    rgb[2] = int((b + m) * 255);
}

la_ssize_t appendToArray(struct archive *, void *clientData, const void *buffer, size_t length)
{
    static_cast<QByteArray *>(clientData)->append(static_cast<const char *>(buffer), qsizetype(length));
    return la_ssize_t(length);
}

} // namespace

QByteArray DemoFiles::png(int width, int height, int hue)
{
    QByteArray raw;
    raw.reserve((width * 3 + 1) * height);
    for (int y = 0; y < height; ++y) {
        raw.append('\0'); // no filter
        for (int x = 0; x < width; ++x) {
            const double wave = 0.5 + 0.5 * std::sin((x + y) / 9.0);
            int rgb[3];
            hsvToRgb((hue + x * 60 / width) % 360, 90 + int(120 * wave), 140 + int(100.0 * y / height), rgb);
            raw.append(char(rgb[0])).append(char(rgb[1])).append(char(rgb[2]));
        }
    }
    QByteArray out("\x89PNG\r\n\x1a\n", 8);
    QByteArray header;
    put32be(header, quint32(width));
    put32be(header, quint32(height));
    header.append(char(8)).append(char(2)).append('\0').append('\0').append('\0'); // 8-bit RGB
    pngChunk(out, "IHDR", header);
    pngChunk(out, "IDAT", qCompress(raw, 9).mid(4)); // qCompress prefixes the length to a zlib stream
    pngChunk(out, "IEND", QByteArray());
    return out;
}

QByteArray DemoFiles::wav(double seconds, double frequency)
{
    const int rate = 22050;
    const int samples = int(seconds * rate);
    QByteArray pcm;
    pcm.reserve(samples * 2);
    for (int i = 0; i < samples; ++i) {
        const double t = double(i) / rate;
        const double envelope = std::min(1.0, std::min(t * 20, (seconds - t) * 20));
        const double v =
            envelope * 0.4 * (std::sin(2 * M_PI * frequency * t) + 0.3 * std::sin(4 * M_PI * frequency * t));
        put16le(pcm, quint16(qint16(v * 32767)));
    }
    QByteArray fmt;
    put16le(fmt, 1); // PCM
    put16le(fmt, 1); // mono
    put32le(fmt, rate);
    put32le(fmt, rate * 2);
    put16le(fmt, 2);
    put16le(fmt, 16);
    return riff("RIFF", QByteArray("WAVE") + riff("fmt ", fmt) + riff("data", pcm));
}

QByteArray DemoFiles::avi(int width, int height, int frames)
{
    const int fps = 10;
    const int stride = (width * 3 + 3) & ~3;
    const int frameBytes = stride * height;

    QByteArray avih;
    put32le(avih, 1000000 / fps);
    put32le(avih, quint32(frameBytes * fps));
    put32le(avih, 0);
    put32le(avih, 0x10); // has index
    put32le(avih, quint32(frames));
    put32le(avih, 0);
    put32le(avih, 1);
    put32le(avih, quint32(frameBytes));
    put32le(avih, quint32(width));
    put32le(avih, quint32(height));
    for (int i = 0; i < 4; ++i)
        put32le(avih, 0);

    QByteArray strh("vids", 4);
    strh += QByteArray("DIB ", 4);
    put32le(strh, 0);
    put16le(strh, 0);
    put16le(strh, 0);
    put32le(strh, 0);
    put32le(strh, 1);   // scale
    put32le(strh, fps); // rate
    put32le(strh, 0);
    put32le(strh, quint32(frames));
    put32le(strh, quint32(frameBytes));
    put32le(strh, 0xffffffffu);
    put32le(strh, 0);
    put16le(strh, 0);
    put16le(strh, 0);
    put16le(strh, quint16(width));
    put16le(strh, quint16(height));

    QByteArray strf;
    put32le(strf, 40);
    put32le(strf, quint32(width));
    put32le(strf, quint32(height)); // bottom-up rows
    put16le(strf, 1);
    put16le(strf, 24);
    put32le(strf, 0); // uncompressed
    put32le(strf, quint32(frameBytes));
    for (int i = 0; i < 4; ++i)
        put32le(strf, 0);

    QByteArray movi;
    QByteArray index;
    for (int f = 0; f < frames; ++f) {
        QByteArray frame(frameBytes, '\0');
        const int bar = f * width / frames;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const bool lit = std::abs(x - bar) < width / 8;
                char *p = frame.data() + y * stride + x * 3; // blue, green, red
                p[0] = char(lit ? 76 : 74 + y);
                p[1] = char(lit ? 168 : 42 + y / 2);
                p[2] = char(lit ? 201 : 26);
            }
        }
        index += QByteArray("00db", 4);
        put32le(index, 0x10); // key frame
        put32le(index, quint32(4 + movi.size()));
        put32le(index, quint32(frameBytes));
        movi += riff("00db", frame);
    }
    const QByteArray header =
        riffList("hdrl", riff("avih", avih) + riffList("strl", riff("strh", strh) + riff("strf", strf)));
    return riff("RIFF", QByteArray("AVI ") + header + riffList("movi", movi) + riff("idx1", index));
}

QByteArray DemoFiles::pdf(const QList<QByteArray> &lines)
{
    QByteArray stream = "BT /F1 16 Tf 72 760 Td 22 TL\n";
    for (const QByteArray &line : lines)
        stream += "(" + line + ") Tj T*\n";
    stream += "ET\n";
    const QList<QByteArray> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
        "/Resources << /Font << /F1 5 0 R >> >> >>",
        "<< /Length " + QByteArray::number(stream.size()) + " >>\nstream\n" + stream + "endstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    };
    QByteArray out = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets.append(out.size());
        out += QByteArray::number(i + 1) + " 0 obj\n" + objects.at(i) + "\nendobj\n";
    }
    const qsizetype xref = out.size();
    out += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype offset : offsets)
        out += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    out += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           QByteArray::number(xref) + "\n%%EOF\n";
    return out;
}

QByteArray DemoFiles::zip(const QList<std::pair<QString, QByteArray>> &entries)
{
    QByteArray out;
    std::unique_ptr<struct archive, decltype(&archive_write_free)> zip(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(zip.get());
    archive_write_set_options(zip.get(), "zip:hdrcharset=UTF-8");
    archive_write_set_bytes_in_last_block(zip.get(), 1);
    if (archive_write_open2(zip.get(), &out, nullptr, appendToArray, nullptr, nullptr) != ARCHIVE_OK)
        return {};
    for (const auto &[path, content] : entries) {
        std::unique_ptr<struct archive_entry, decltype(&archive_entry_free)> e(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname_utf8(e.get(), path.toUtf8().constData());
        const bool folder = path.endsWith(QLatin1Char('/'));
        archive_entry_set_filetype(e.get(), folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(e.get(), folder ? 0755 : 0644);
        archive_entry_set_size(e.get(), folder ? 0 : content.size());
        archive_entry_set_mtime(e.get(), 1714557630, 0);
        if (archive_write_header(zip.get(), e.get()) != ARCHIVE_OK)
            return {};
        if (!folder && archive_write_data(zip.get(), content.constData(), size_t(content.size())) != content.size())
            return {};
    }
    if (archive_write_close(zip.get()) != ARCHIVE_OK)
        return {};
    return out;
}

bool DemoFiles::seed(ServerContext &ctx, qint64 userId)
{
    const FileSpace space = FileSpace::personal(userId);
    Transaction tx(ctx.db);
    auto folder = [&](qint64 parent, const QString &name) {
        return FileTree::createFolder(ctx, space, parent, name).id;
    };
    bool ok = true;
    auto file = [&](qint64 parent, const QString &name, const QByteArray &content) {
        auto writer = ctx.blobs->createWriter();
        ok = ok && writer && writer->write(content.constData(), size_t(content.size())) && writer->finish() &&
             FileTree::addFile(ctx, space, parent, name, QString(), *writer).ok();
    };

    const QByteArray readme = QStringLiteral("欢迎使用托尔瓦企业存储！\n\n"
                                             "这是演示账号的示例文件。你可以上传、下载、重命名、移动和删除文件，\n"
                                             "删除的文件会在回收站保留 7 天。\n")
                                  .toUtf8();
    const QByteArray csv = QStringLiteral("月份,销售额(万元),同比\n一月,128,12%\n二月,116,8%\n三月,143,15%\n").toUtf8();
    const QByteArray markdown = QStringLiteral("# 项目周报\n\n- 完成存储网关压力测试\n- 上线秒传与断点续传\n"
                                               "- 下周：团队空间权限细化\n")
                                    .toUtf8();

    const qint64 docs = folder(0, QStringLiteral("工作文档"));
    const qint64 pictures = folder(0, QStringLiteral("图片素材"));
    const qint64 media = folder(0, QStringLiteral("音视频"));
    const qint64 archive = folder(0, QStringLiteral("项目归档"));
    const qint64 reports = folder(docs, QStringLiteral("季度报告"));
    ok = ok && docs > 0 && pictures > 0 && media > 0 && archive > 0 && reports > 0;

    file(0, QStringLiteral("欢迎使用.txt"), readme);
    file(docs, QStringLiteral("产品说明书.pdf"),
         pdf({"Tolvar Enterprise Storage", "Product Guide", "", "Secure storage, efficient collaboration."}));
    file(docs, QStringLiteral("项目周报.md"), markdown);
    file(reports, QStringLiteral("一季度销售数据.csv"), csv);
    file(pictures, QStringLiteral("海报.png"), png(640, 400, 210));
    file(pictures, QStringLiteral("团队合影.png"), png(480, 320, 30));
    file(0, QStringLiteral("封面.png"), png(320, 200, 120));
    file(media, QStringLiteral("产品演示.avi"), avi(160, 120, 40));
    file(media, QStringLiteral("提示音.wav"), wav(2.0, 523.25));
    file(archive, QStringLiteral("资料合集.zip"),
         zip({{QStringLiteral("资料合集/"), {}},
              {QStringLiteral("资料合集/说明.txt"), readme},
              {QStringLiteral("资料合集/数据/一季度销售数据.csv"), csv},
              {QStringLiteral("资料合集/图片/缩略图.png"), png(96, 64, 300)}}));
    QByteArray config(4096, '\0');
    for (int i = 0; i < config.size(); ++i)
        config[i] = char((i * 131 + 7) & 0xff);
    file(archive, QStringLiteral("设备配置.dat"), config);
    return ok && tx.commit();
}

} // namespace tvr::server
