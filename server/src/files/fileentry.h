#pragma once

#include <QJsonObject>
#include <QString>

namespace tvr::server {

// One row of the file tree (a file or a folder) as stored.
struct FileEntry
{
    qint64 id = 0;
    qint64 ownerId = 0;
    qint64 teamId = 0;   // 0: the owner's personal space
    qint64 parentId = 0; // 0: the root of the space
    QString name;
    bool isFolder = false;
    QString mimeType;
    QString category;
    qint64 size = 0;
    QString blobHash;
    QString md5;
    QString createdAt;
    QString updatedAt;
    QString trashedAt;    // set on the entry the user deleted
    qint64 trashRoot = 0; // the deleted entry whose removal hid this one (itself included)

    // The file record clients read: id, name, type, mime_type, category, size, parent_id,
    // created_at, updated_at, md5, and trash_time for trashed entries.
    QJsonObject toJson() const;
    // toJson() as compact JSON text, appended to out.
    void appendJson(QByteArray &out) const;
};

} // namespace tvr::server
