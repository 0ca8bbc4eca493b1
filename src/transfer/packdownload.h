#pragma once

#include "net/httpresponse.h"

#include <QString>
#include <QStringList>
#include <functional>

class QNetworkReply;

// Pack-download: the server zips several entries into one archive, which is streamed to disk.
namespace Api {

using PackProgressFn = std::function<void(qint64 done, qint64 total)>;

// POSTs {"ids": [...]} to "/api/files/pack-download" and writes the archive to savePath as it
// arrives, through a ".part" side file that replaces savePath only once the whole body is in, so a
// failure leaves no partial archive behind. done gets the response with raw set to savePath
// (UTF-8); on failure its json holds the server's error object when there was one, and error the
// text to show ("无法写入：<savePath>" when the archive cannot be written). A success with an empty
// body writes no file. progress (optional) reports received and total bytes (total -1 when unknown).
// savePath is claimed in DownloadRegistry for the whole request: while another job writes it (or
// its side file) nothing is sent and done gets a failure with DownloadRegistry::busyText; pick a
// name with DownloadRegistry::freeName first. The body moves no faster than HttpClient's download
// limiter allows. The reply is returned (null when refused) so the caller may abort it: the side
// file is then removed and done gets a failure.
QNetworkReply *packDownload(const QStringList &ids, const QString &savePath, PackProgressFn progress,
                            HttpCallback done);

} // namespace Api
