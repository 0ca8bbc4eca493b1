#pragma once

#include <QString>

// The local files that downloads are writing right now, for the whole process. A job claims its
// target before it writes anything and releases it when it ends, so two jobs never write the same
// file: a target counts together with its ".part" side file. Every page that downloads (files,
// team space, vault) goes through it, directly or through Downloader and Api::packDownload.
class DownloadRegistry final
{
public:
    DownloadRegistry() = delete;

    // Takes target (a local path; made absolute) for one writer. False, and nothing taken, when a
    // running job already holds target or its side file.
    static bool claim(const QString &target);
    // Gives target back; unknown targets are ignored.
    static void release(const QString &target);
    // True while a running job holds target or its side file.
    static bool isBusy(const QString &target);
    // fileName when dir has no file of that name, no ".part" of it and no job writing it; otherwise
    // the first free "stem (2).ext", "stem (3).ext", ...
    static QString freeName(const QString &dir, const QString &fileName);
    // What a page shows when a second job for the same target is refused.
    static QString busyText(const QString &fileName);
};
