#pragma once

#include "ui/carddialog.h"

#include <QPointer>
#include <QString>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class SyncManager;
struct SyncPair;

// 「添加同步」: a local folder (the desktop's folder dialog) and a server folder (the folder
// picker of the personal space, or a team space the user belongs to; never the vault). 「开始同步」
// adds the pair through the manager, or says in the dialog why it cannot. The pair's own ignore
// patterns are typed separated by ";".
class AddSyncDialog final : public Cdlg::CardDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AddSyncDialog)

public:
    AddSyncDialog(SyncManager *manager, QWidget *parent);
    ~AddSyncDialog() override;

    // The pair the fields describe now.
    SyncPair pair() const;
    void setLocalPath(const QString &path);
    // A folder of the personal space ("" for its root) and the path shown for it.
    void setServerFolder(const QString &folderId, const QString &shownPath);

    QLineEdit *localEdit() const { return m_localEdit; }
    QComboBox *spaceBox() const { return m_spaceBox; }
    QLabel *folderLabel() const { return m_folderLabel; }
    QLineEdit *ignoreEdit() const { return m_ignoreEdit; }
    QLabel *errorLabel() const { return m_errorLabel; }

public slots:
    // Adds the pair; stays open with the reason when the manager refuses it.
    void accept() override;

private:
    void chooseLocal();
    void chooseServerFolder();
    void loadTeams();
    void onSpaceChanged();

    QPointer<SyncManager> m_manager;
    QLineEdit *m_localEdit = nullptr;
    QComboBox *m_spaceBox = nullptr;
    QLabel *m_folderLabel = nullptr;
    QPushButton *m_folderButton = nullptr;
    QLineEdit *m_ignoreEdit = nullptr;
    QLabel *m_errorLabel = nullptr;
    QString m_folderId;
    QString m_folderPath;
};
