#pragma once

#include <QString>
#include <QWidget>

class OfflineOverlay;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTableWidget;
struct HttpResponse;

// The password-protected vault: a set-up page while no vault exists, an unlock page while it is
// locked and the encrypted file list while it is unlocked, chosen from the server's vault status.
// The unlock token lives only in Session (memory); this page sets it and clears it.
class VaultPage final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VaultPage)

public:
    // Sub-pages of the stack.
    enum SubPage { SetupPage = 0, UnlockPage = 1, FilesPage = 2 };
    static constexpr int MinPasswordLength = 6;

    // Builds the header and the three sub-pages and asks for the vault status at once.
    explicit VaultPage(QWidget *parent = nullptr);
    ~VaultPage() override;

    // Asks for the vault status and shows the matching sub-page; only the latest answer counts.
    void refresh();
    // Refills the file table; a failed listing shows the unlock page. Only the latest answer counts.
    void loadFiles();
    void unlockWith(const QString &password);
    // What the "创建保险箱" button does: checks the two fields, creates the vault and unlocks it.
    void createVault();
    // What the lock button does.
    void lock();
    // Sends one local file into the vault (the upload button asks for the file first).
    void uploadFile(const QString &localPath);
    // Fetches one vault file into the download folder and reports the folder when done.
    void startVaultDownload(const QString &id, const QString &name);
    void deleteFile(const QString &id, const QString &name);
    void openResetDialog();

    QStackedWidget *stack() const { return m_stack; }
    QTableWidget *table() const { return m_table; }
    QPushButton *lockButton() const { return m_lockButton; }
    QLabel *countLabel() const { return m_countLabel; }
    QLineEdit *setupPassword() const { return m_setupPassword; }
    QLineEdit *setupConfirm() const { return m_setupConfirm; }
    QLineEdit *unlockPassword() const { return m_unlockPassword; }
    OfflineOverlay *overlay() const { return m_overlay; }
    // From the vault status: whether the account can confirm a reset with a login password.
    bool hasLoginPassword() const { return m_hasLoginPassword; }

signals:
    void vaultUnlocked(bool unlocked);

private:
    QWidget *buildSetupPage();
    QWidget *buildUnlockPage();
    QWidget *buildFilesPage();
    // The gold action buttons of the sub-pages.
    static QPushButton *goldButton(const QString &text, QWidget *parent);
    QWidget *makeActionWidget(const QString &id, const QString &name);
    void applyStatus(const HttpResponse &response);
    void applyFiles(const HttpResponse &response);
    void chooseAndUpload();

    QStackedWidget *m_stack = nullptr;
    QTableWidget *m_table = nullptr;
    QPushButton *m_lockButton = nullptr;
    QLabel *m_countLabel = nullptr;
    QLabel *m_emptyHint = nullptr;
    QLineEdit *m_setupPassword = nullptr;
    QLineEdit *m_setupConfirm = nullptr;
    QLineEdit *m_unlockPassword = nullptr;
    OfflineOverlay *m_overlay = nullptr;
    bool m_hasLoginPassword = false;
    // Raised by every status and listing request; an answer to an older one is dropped.
    quint64 m_statusGeneration = 0;
    quint64 m_listGeneration = 0;
};
