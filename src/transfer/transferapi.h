#pragma once

#include "net/httpresponse.h"

#include <QString>
#include <QStringList>

class HttpConnection;
class MultipartBody;
class QNetworkReply;

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

// Gives up an upload session: the server drops the chunks it holds. Data: none.
void abandonUpload(const QString &uploadId, HttpCallback callback);

// One multipart request with every path that can be opened (others are skipped silently);
// sent even when none could be. The reply may be aborted; it is answered through callback.
QNetworkReply *uploadFiles(const QStringList &paths, const QString &parentId, HttpCallback callback);
QNetworkReply *uploadTeamFiles(const QString &teamId, const QStringList &paths, const QString &parentId,
                               HttpCallback callback);
// One file into the unlocked vault (encrypted there). A file that cannot be opened sends nothing:
// callback gets "无法打开文件" before this returns, and the result is null.
QNetworkReply *uploadVaultFile(const QString &path, HttpCallback callback);

// Building blocks of the above, exposed for tests.
QString uploadChunkPath(const QString &uploadId, int index);
MultipartBody *buildUploadForm(const QStringList &paths, const QString &parentId);

} // namespace Api
