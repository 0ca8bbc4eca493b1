#pragma once

#include "ui/carddialog.h"

#include <QJsonObject>
#include <QString>

class QLineEdit;
class QPushButton;
class QVBoxLayout;

// The members of one team. The team's creator also invites users (by user name or mobile number)
// and removes members; everybody else only sees the list.
class TeamMembersDialog final : public Cdlg::CardDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TeamMembersDialog)

public:
    TeamMembersDialog(QWidget *parent, const QString &teamId, const QString &teamName, bool isOwner);
    ~TeamMembersDialog() override;

    // Rebuilds the rows from the server; only the answer to the latest request is applied.
    void load();
    // Sends the trimmed invitation text; blanks send nothing.
    void invite();
    QWidget *makeRow(const QJsonObject &member);

    QString teamId() const { return m_teamId; }
    bool isOwner() const { return m_isOwner; }
    // Null for a member who did not create the team.
    QLineEdit *inviteEdit() const { return m_inviteEdit; }
    QPushButton *inviteButton() const { return m_inviteButton; }
    QWidget *listWidget() const { return m_listWidget; }

signals:
    // After every successful invitation and every removal attempt (member counts change).
    void membersChanged();

private:
    void clearRows();
    void applyMembers(const QJsonArray &members);
    void removeMember(const QString &userId);

    QString m_teamId;
    bool m_isOwner = false;
    QLineEdit *m_inviteEdit = nullptr;
    QPushButton *m_inviteButton = nullptr;
    QWidget *m_listWidget = nullptr;
    QVBoxLayout *m_listLayout = nullptr;
    quint64 m_listSerial = 0;
};
