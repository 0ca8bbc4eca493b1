#pragma once

#include "net/httpresponse.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>

class FileModel;
class FileTable;
class OfflineOverlay;
class QDateTime;
class QLabel;
class QMenu;
class QPoint;
class QPushButton;
class QUrl;

// The file browser: one folder (or one search result) of the personal space, filtered by a
// category, or of a team's space. Moves between folders by double clicks and the breadcrumb.
class FileListPage final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileListPage)

public:
    // An empty teamId shows the personal space filtered by category ("all", "image", ...); any
    // other value shows that team's space.
    FileListPage(const QString &category, const QString &teamId, QWidget *parent = nullptr);
    ~FileListPage() override;

    QString category() const { return m_category; }
    QString teamId() const { return m_teamId; }
    bool isTeamMode() const { return !m_teamId.isEmpty(); }

    // A non-empty keyword shows results from the whole space instead of the folder; the owner
    // sets it (already trimmed) and then calls reload().
    QString searchKeyword() const { return m_searchKeyword; }
    void setSearchKeyword(const QString &keyword) { m_searchKeyword = keyword; }
    QStringList crumbIds() const { return m_crumbIds; }
    QStringList crumbNames() const { return m_crumbNames; }
    // The folder shown, empty at the root.
    QString currentFolderId() const;

    // Requests the current view; the rows shown stay until an answer replaces them, and only the
    // answer to the latest request is shown.
    void reload();
    // A folder row opens the folder; other rows are opened as files.
    void openRow(int row);
    void enterFolder(int row);
    // Breadcrumb level 0 is the root, level n the n-th folder opened below it.
    void navigateToCrumb(int level);
    // Back to the root without a search; reloads only when shown (showing it reloads anyway).
    void showRoot();
    // Selected rows ascending; with no selection, the row of the record last clicked while it is still listed.
    QList<int> selectedRows() const;
    int lastRow() const;
    void toggleSelectAll();

    // Commands on the entries. Each takes ids and names from the model before any dialog opens.
    // Files of 8 MiB and more each get a chunked Uploader (personal space); the rest, and every
    // team upload, go into one multipart request for the current folder.
    void uploadPaths(const QStringList &paths);
    void chooseAndUpload();
    void newFolder();
    void renameRow(int row);
    void moveSelected(const QList<int> &rows);
    void extractArchive(const QJsonObject &archive);
    void deleteSelected();
    // Makes row the only selected row, whatever modifier keys are held.
    void selectRow(int row);
    // The records of selectedRows(), in the same order.
    QList<QJsonObject> selectedRecords() const;

    // Commands on records taken earlier (by a menu when it was built, by a row button): they act on
    // exactly these records even when the listing was reloaded or re-sorted in between.
    void openRecord(const QJsonObject &record);
    void renameRecord(const QJsonObject &record);
    void moveRecords(const QList<QJsonObject> &records);
    void deleteRecords(const QList<QJsonObject> &records);
    // Packs exactly these records when all of them are still listed; says so otherwise.
    void packDownloadRecords(const QList<QJsonObject> &records);
    // Opens the share card for one record; the toolbar button wants exactly one selected.
    void shareRecord(const QJsonObject &record);
    void shareSelected();

    // The context menu for the records selected now (owned by the page); null when none is selected.
    QMenu *buildMenu();
    void buildAndExecMenu(const QPoint &globalPos);
    // The page's own commands (upload, new folder, refresh), offered where no row is.
    QMenu *buildPageMenu();
    void execPageMenu(const QPoint &globalPos);
    // A "zip" or "rar" media type or name ending, case-sensitive.
    static bool isArchiveRecord(const QJsonObject &record);

    // Getting files out: into the download folder, opened with the default application, or packed.
    QString downloadUrl(const QString &id) const;
    void downloadRecord(const QJsonObject &record);
    void startDownload(const QString &path, const QString &fileName);
    void openFile(const QJsonObject &record);
    void downloadSelected();
    void downloadButtonClicked();
    void packDownloadButtonClicked();
    // The Downloads folder (or home), created when missing.
    static QString downloadDir();
    static QString packFileName(const QDateTime &when);
    // Hands local files and folders to the desktop; tests replace it (an empty one restores the desktop).
    using UrlOpener = std::function<bool(const QUrl &url)>;
    static void setUrlOpener(UrlOpener opener);
    // An empty dir restores the user's Downloads folder.
    static void setDownloadDirForTests(const QString &dir);

    // What an empty listing says: how to fill a folder, or that a search found nothing.
    QString emptyText() const;

    FileModel *model() const { return m_model; }
    FileTable *table() const { return m_table; }
    QLabel *statusLabel() const { return m_statusLabel; }
    // Shown over the list when its request failed; the rows of the last answer stay beneath.
    OfflineOverlay *overlay() const { return m_overlay; }

signals:
    // The breadcrumb as one line, e.g. "全部文件 / A / B", after every reload.
    void breadcrumbChanged(const QString &text);
    void openTeamRequested();

protected:
    void showEvent(QShowEvent *event) override;
    // Desktop files dropped on the empty-folder hint are uploaded as on the table.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildToolbar();
    // Connects the table and the command buttons of the toolbar (filelistpage_commands.cpp).
    void wireCommands();
    QWidget *createRowActions(int row, QWidget *parent);
    // False when the desktop has no application for it.
    static bool openUrl(const QUrl &url);
    // A reply handler that reloads on success and shows the server's text otherwise; safe after the page is gone.
    // With changesFiles a success is also reported to FileChangeNotifier.
    HttpCallback reloadOrShowError(bool changesFiles = false);
    void applyListing(const HttpResponse &response);
    // The rows just set: counts, the empty text, locations.
    void showListing();
    void showLocations();
    void enterFolderRecord(const QJsonObject &record);
    void updateBreadcrumb();

    QString m_category;
    QString m_teamId;
    QString m_searchKeyword;
    QStringList m_crumbIds;
    QStringList m_crumbNames;
    quint64 m_listingSerial = 0;

    FileModel *m_model = nullptr;
    FileTable *m_table = nullptr;
    QWidget *m_crumbBar = nullptr;
    QLabel *m_statusLabel = nullptr;
    QLabel *m_emptyLabel = nullptr;
    OfflineOverlay *m_overlay = nullptr;

    // Toolbar.
    QPushButton *m_uploadButton = nullptr;
    QPushButton *m_newFolderButton = nullptr;
    QPushButton *m_downloadButton = nullptr;
    QPushButton *m_packDownloadButton = nullptr;
    QPushButton *m_shareButton = nullptr;
    QPushButton *m_deleteButton = nullptr;
    QPushButton *m_selectAllButton = nullptr;
    QPushButton *m_teamButton = nullptr;
    QPushButton *m_refreshButton = nullptr;
};
