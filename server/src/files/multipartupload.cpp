#include "files/multipartupload.h"

#include "core/servercontext.h"
#include "files/blobstore.h"
#include "files/blobwriter.h"
#include "files/filetree.h"
#include "files/quota.h"
#include "storage/transaction.h"

namespace tvr::server {

MultipartUpload::MultipartUpload(ServerContext &ctx, QStringList keptFields)
    : m_ctx(ctx)
    , m_keptFields(std::move(keptFields))
{}

MultipartUpload::~MultipartUpload() = default;

static QString baseName(const std::string &raw)
{
    QString name = QString::fromStdString(raw);
    name = name.mid(qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\'))) + 1);
    return name.trimmed();
}

bool MultipartUpload::read(const http::Request &request, http::BodyReader &reader, QuotaReservation &room,
                           QString *error)
{
    File *current = nullptr;
    QByteArray *field = nullptr;
    bool storageFailed = false;
    qint64 fileBytes = 0;
    // The file of a part that has ended is complete: close it before the next one opens.
    const auto closeCurrent = [&] {
        if (current && !current->content->finish())
            storageFailed = true;
        current = nullptr;
        return !storageFailed;
    };
    const bool complete = reader.readMultipart(
        request,
        [&](const http::Part &part) {
            field = nullptr;
            if (!closeCurrent())
                return false;
            if (!part.filename.empty()) {
                auto writer = m_ctx.blobs->createWriter();
                if (!writer) {
                    storageFailed = true;
                    return false;
                }
                m_files.push_back(File{QString::fromStdString(part.name), baseName(part.filename),
                                       QString::fromStdString(part.contentType), std::move(writer)});
                current = &m_files.back();
            } else if (const QString name = QString::fromStdString(part.name); m_keptFields.contains(name)) {
                field = &m_fields[name];
            }
            return true;
        },
        [&](const char *data, size_t length) {
            if (current) {
                fileBytes += qint64(length);
                if (!room.ensure(fileBytes)) {
                    m_exceeded = true;
                    return false;
                }
                if (!current->content->write(data, length)) {
                    storageFailed = true;
                    return false;
                }
            } else if (field) {
                if (field->size() + qsizetype(length) > FieldMaxBytes)
                    return false;
                field->append(data, qsizetype(length));
            }
            return true;
        });
    if (complete)
        closeCurrent();
    if (storageFailed) {
        *error = QStringLiteral("服务器存储失败，请稍后重试");
        return false;
    }
    if (m_exceeded) {
        *error = QStringLiteral("存储空间不足");
        return false;
    }
    if (reader.formOverLimit()) {
        *error = QStringLiteral("一次上传的文件或表单字段过多");
        return false;
    }
    if (!complete) {
        *error = QStringLiteral("上传内容不完整或格式错误");
        return false;
    }
    return true;
}

QString MultipartUpload::field(const QString &name) const
{
    const auto it = m_fields.find(name);
    return it == m_fields.end() ? QString() : QString::fromUtf8(it->second).trimmed();
}

qint64 MultipartUpload::totalFileBytes() const
{
    qint64 total = 0;
    for (const File &file : m_files)
        total += file.content->size();
    return total;
}

FileResult MultipartUpload::storeAll(const FileSpace &space, qint64 parentId, const QString &fieldName,
                                     QuotaReservation &room, QJsonArray *created)
{
    Transaction tx(m_ctx.db);
    room.release(); // the files themselves are checked against the quota below
    std::vector<qint64> ids;
    for (File &file : m_files) {
        if (file.fieldName != fieldName)
            continue;
        const FileResult result =
            FileTree::addFile(m_ctx, space, parentId, file.fileName, file.contentType, *file.content);
        if (!result.ok())
            return result; // the transaction rolls back every file stored before
        ids.push_back(result.id);
    }
    if (ids.empty())
        return FileResult::error(400, QStringLiteral("没有可上传的文件"));
    if (!tx.commit())
        return FileResult::error(500, QStringLiteral("保存文件失败"));
    for (qint64 id : ids) {
        if (const auto entry = FileTree::find(m_ctx, space, id))
            created->append(entry->toJson());
    }
    return FileResult::success(ids.back());
}

} // namespace tvr::server
