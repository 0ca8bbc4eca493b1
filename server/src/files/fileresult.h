#pragma once

#include <QString>

namespace tvr::server {

// The outcome of a file-tree operation: an HTTP status and, on failure, the text for the user.
struct FileResult
{
    int status = 200;
    QString message;
    qint64 id = 0; // the entry created or changed, when there is one

    bool ok() const { return status >= 200 && status < 300; }
    static FileResult success(qint64 id = 0) { return {200, QString(), id}; }
    static FileResult error(int status, const QString &message) { return {status, message, 0}; }
};

} // namespace tvr::server
