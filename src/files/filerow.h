#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// One file record of a listing, held compactly: the members the table shows and sorts by, read
// once, beside the record's own JSON text exactly as the server sent it. record() gives back
// the whole object (every member the server sent) for whoever the record is handed on to.
struct FileRow
{
    QByteArray json; // the record's compact JSON object text
    QString id;
    QString parentId;
    QString name;
    QString mimeType;
    QString updated;
    qint64 size = 0;
    bool folder = false;

    QJsonObject record() const;

    static FileRow fromObject(const QJsonObject &record);
    // The records of a {"success": true, "data": [...]} body, read without building a JSON
    // document of the whole body (a listing of 100,000 files takes a fraction of the memory).
    // Elements of data that are not objects are skipped. False, with rows untouched, when the
    // body is not such an envelope of valid JSON. The rows' json may point into body's bytes:
    // keep body (a copy of it, which shares them) as long as the rows.
    static bool fromListingText(const QByteArray &body, QList<FileRow> &rows);
};
