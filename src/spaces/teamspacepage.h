#pragma once

#include <QPointer>
#include <QWidget>

class FileListPage;
class OfflineOverlay;
class QJsonArray;
class QLineEdit;
class QListWidget;
class QPushButton;

// The teams of the account on the left; on the right the selected team's name and figures, its
// commands (rename and dissolve for the creator, leave for a member, members for both) and a
// file page of the team's shared space. The list is fetched at construction and after every team
// command, never when the page is shown.
class TeamSpacePage final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TeamSpacePage)

public:
    // Item data roles of a team in the list.
    enum Role {
        IdRole = Qt::UserRole,
        RoleRole,
        NameRole,
        MemberCountRole,
        UsedSizeRole,
    };

    explicit TeamSpacePage(QWidget *parent = nullptr);
    ~TeamSpacePage() override;

    // Refetches the list; the team shown stays selected while it is listed, else the first one.
    // Only the answer to the latest request is applied.
    void reloadTeams();
    // Rebuilds the right side for the current team.
    void showDetail();

    // The selected team's id and name; empty when none.
    QString currentTeamId() const;
    QString currentTeamName() const;

    // Commands on the selected team, each asking first (tests call them as the buttons do).
    void createTeam();
    void renameCurrent();
    void dissolveCurrent();
    void leaveCurrent();
    void openMembers();

    QListWidget *teamList() const { return m_teamList; }
    QLineEdit *searchBox() const { return m_searchBox; }
    QWidget *detailArea() const { return m_detailArea; }
    QPushButton *createButton() const { return m_createButton; }
    // The selected team's file page; null when no team is selected.
    FileListPage *teamFiles() const { return m_teamFiles; }
    // Over the team list when it could not be fetched.
    OfflineOverlay *listOverlay() const { return m_listOverlay; }

private:
    void applyTeams(const QJsonArray &teams, const QString &keepId);
    QWidget *makeTeamRow(const QString &name, bool isOwner, int memberCount, qint64 usedSize);
    void clearDetail();
    void applySearch();

    QListWidget *m_teamList = nullptr;
    QLineEdit *m_searchBox = nullptr;
    QWidget *m_detailArea = nullptr;
    QPushButton *m_createButton = nullptr;
    OfflineOverlay *m_listOverlay = nullptr;
    // Deleted with the old detail widgets on every rebuild, so only ever held guarded.
    QPointer<FileListPage> m_teamFiles;
    // The team whose detail is shown, kept while a reload empties the list.
    QString m_shownTeamId;
    quint64 m_listSerial = 0;
};
