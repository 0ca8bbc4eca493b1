#pragma once

#include "files/fileresult.h"
#include "files/filespace.h"
#include "http/httpmessage.h"

#include <QByteArray>
#include <QJsonArray>
#include <QString>
#include <QStringList>
#include <map>
#include <memory>
#include <vector>

namespace tvr::server {

class BlobWriter;
class QuotaReservation;
struct ServerContext;

// A multipart/form-data upload read as a stream: every file part goes straight into its own
// BlobWriter (a temporary file), closed as soon as its part ends, so that a request holds one
// descriptor however many files it sends. Of the plain fields only those the route reads are
// kept (small, in memory); the others are only counted against the form's limits. Nothing of a
// file is held in memory, whatever its size.
class MultipartUpload final
{
public:
    struct File
    {
        QString fieldName;
        QString fileName; // the client's name without any folder part
        QString contentType;
        std::unique_ptr<BlobWriter> content;
    };

    static constexpr qsizetype FieldMaxBytes = 4096;

    explicit MultipartUpload(ServerContext &ctx, QStringList keptFields = {QStringLiteral("parent_id")});
    ~MultipartUpload();

    // Reads the whole body; false with a user text when it is malformed or cannot be stored.
    // File content is taken into `room` as it arrives; reading stops (false) at the first byte
    // that does not fit.
    bool read(const http::Request &request, http::BodyReader &reader, QuotaReservation &room, QString *error);
    bool exceededLimit() const { return m_exceeded; }

    QString field(const QString &name) const;
    std::vector<File> &files() { return m_files; }
    qint64 totalFileBytes() const;

    // Stores every file part named `fieldName` in one transaction: all of them or none, checked
    // against the quota there (the reservation is released inside it). Returns their records in
    // `created`.
    FileResult storeAll(const FileSpace &space, qint64 parentId, const QString &fieldName, QuotaReservation &room,
                        QJsonArray *created);

private:
    ServerContext &m_ctx;
    QStringList m_keptFields;
    std::map<QString, QByteArray> m_fields;
    std::vector<File> m_files;
    bool m_exceeded = false;
};

} // namespace tvr::server
