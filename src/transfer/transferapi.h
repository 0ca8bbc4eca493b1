#pragma once

#include "net/httpresponse.h"

#include <QString>
#include <QStringList>

class HttpConnection;
class QHttpMultiPart;

// Requests of uploads. Ids put into a path are percent-encoded; callbacks run once on the GUI
// thread (see HttpClient).
namespace Api {

// Starts an upload session. Data: "instant" with "file", or "uploadId", "chunkSize" and "uploadedChunks".
// An empty parentId uploads to the root.
void initUpload(const QString &name, qint64 size, const QString &md5, const QString &parentId, HttpCallback callback);
// PUT of one chunk's raw bytes on connection (which must not be busy), counted and answered like
// every other request.
void uploadChunk(HttpConnection *connection, const QString &uploadId, int index, const QByteArray &bytes,
                 HttpCallback callback);
// Data: the file record of the assembled file.
void mergeUpload(const QString &uploadId, HttpCallback callback);

// One multipart request with every path that can be opened (others are skipped silently);
// sent even when none could be.
void uploadFiles(const QStringList &paths, const QString &parentId, HttpCallback callback);
void uploadTeamFiles(const QString &teamId, const QStringList &paths, const QString &parentId, HttpCallback callback);

// Building blocks of the above, exposed for tests.
QString uploadChunkPath(const QString &uploadId, int index);
QHttpMultiPart *buildUploadForm(const QStringList &paths, const QString &parentId);

} // namespace Api
